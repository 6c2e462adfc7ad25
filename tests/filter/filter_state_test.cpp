#include "filter/filter_state.h"

#include <gtest/gtest.h>

#include <string>

#include "filter/volume_resolver.h"

namespace kelva::filter {
namespace {

// A port message as the service builds it: command, zero, then the name in UTF-16LE.
std::string Message(uint8_t command, std::u16string name, size_t size = kPortMessageSize) {
  std::string m(size, '\0');
  if (size > 0) m[0] = static_cast<char>(command);
  for (size_t i = 0; i < name.size() && 3 + 2 * i < size && i < 49; ++i) {
    m[2 + 2 * i] = static_cast<char>(name[i] & 0xFF);
    m[3 + 2 * i] = static_cast<char>(name[i] >> 8);
  }
  return m;
}

const std::u16string kVolA = u"\\\\?\\Volume{11111111-2222-3333-4444-555555555555}";
const std::u16string kVolB = u"\\\\?\\Volume{aaaaaaaa-2222-3333-4444-555555555555}";

NtStatus Send(FilterState& s, pid_t pid, const std::string& m) {
  return s.HandleMessage(pid, reinterpret_cast<const uint8_t*>(m.data()), m.size());
}

TEST(FilterState, OnlyExactly100ByteMessagesAreAccepted) {
  FilterState s;
  for (size_t size : {0u, 1u, 99u, 101u, 4096u}) {
    EXPECT_EQ(Send(s, 10, Message(1, kVolA, size)), STATUS_INVALID_PARAMETER) << size;
    EXPECT_TRUE(s.Registrations().empty()) << size;
  }
  EXPECT_EQ(s.HandleMessage(10, nullptr, 100), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(Send(s, 10, Message(1, kVolA)), STATUS_SUCCESS);
  ASSERT_EQ(s.Registrations().size(), 1u);
  // A malformed removal changes nothing either.
  EXPECT_EQ(Send(s, 10, Message(0, kVolA, 99)), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(s.Registrations().size(), 1u);
}

TEST(FilterState, RegistrationIsPerProcessAndName) {
  FilterState s;
  int changes = 0;
  s.SetOnChange([&] { ++changes; });
  EXPECT_EQ(Send(s, 10, Message(1, kVolA)), STATUS_SUCCESS);
  EXPECT_EQ(Send(s, 10, Message(7, kVolA)), STATUS_SUCCESS);  // any non-zero command registers
  EXPECT_EQ(s.Registrations().size(), 1u);
  EXPECT_EQ(changes, 1);  // the duplicate changed nothing
  // The kernel's "\??\" prefix names the same volume as the service's "\\?\".
  EXPECT_EQ(Send(s, 10, Message(1, u"\\??\\Volume{11111111-2222-3333-4444-555555555555}")), STATUS_SUCCESS);
  EXPECT_EQ(s.Registrations().size(), 1u);
  // Another process, or another volume, is a new entry (newest first).
  EXPECT_EQ(Send(s, 11, Message(1, kVolA)), STATUS_SUCCESS);
  EXPECT_EQ(Send(s, 10, Message(1, kVolB)), STATUS_SUCCESS);
  auto regs = s.Registrations();
  ASSERT_EQ(regs.size(), 3u);
  EXPECT_EQ(regs[0].pid, 10);
  EXPECT_EQ(VolumeKey(regs[0].name), "Volume{aaaaaaaa-2222-3333-4444-555555555555}");
  EXPECT_EQ(regs[1].pid, 11);
  // Removal takes only the sender's entry; removing again or an unknown name is fine.
  EXPECT_EQ(Send(s, 10, Message(0, kVolA)), STATUS_SUCCESS);
  EXPECT_EQ(Send(s, 10, Message(0, kVolA)), STATUS_SUCCESS);
  regs = s.Registrations();
  ASSERT_EQ(regs.size(), 2u);
  EXPECT_EQ(regs[1].pid, 11);
  EXPECT_EQ(changes, 4);
}

TEST(FilterState, NamesDifferingOnlyInTheirFirstFourCharactersMatch) {
  VolumeName a{}, b{};
  const std::string ma = Message(1, kVolA), mb = Message(1, u"XXXXVolume{11111111-2222-3333-4444-555555555555}");
  std::copy(ma.begin() + 2, ma.end(), a.begin());
  std::copy(mb.begin() + 2, mb.end(), b.begin());
  EXPECT_TRUE(SameVolumeName(a, b));
  b[97] = 1;  // the last byte still counts
  EXPECT_FALSE(SameVolumeName(a, b));
}

TEST(FilterState, DisconnectDropsTheProcessEntriesAndItsTableSlot) {
  FilterState s;
  EXPECT_TRUE(s.AllowOpen(99));  // nobody connected: everyone may open
  ASSERT_TRUE(s.Connect(1, 10));
  ASSERT_TRUE(s.Connect(2, 11));
  EXPECT_TRUE(s.AllowOpen(10));
  EXPECT_TRUE(s.AllowOpen(11));
  EXPECT_FALSE(s.AllowOpen(99));
  Send(s, 10, Message(1, kVolA));
  Send(s, 10, Message(1, kVolB));
  Send(s, 11, Message(1, kVolA));
  s.Disconnect(1);
  auto regs = s.Registrations();
  ASSERT_EQ(regs.size(), 1u);
  EXPECT_EQ(regs[0].pid, 11);
  EXPECT_FALSE(s.AllowOpen(10));
  EXPECT_TRUE(s.AllowOpen(11));
  s.Disconnect(1);  // twice: nothing more happens
  s.Disconnect(2);
  EXPECT_TRUE(s.Registrations().empty());
  EXPECT_TRUE(s.AllowOpen(10));
}

TEST(FilterState, AtMostFiveConnections) {
  FilterState s;
  for (uint64_t c = 1; c <= kMaxConnections; ++c) EXPECT_TRUE(s.Connect(c, static_cast<pid_t>(100 + c)));
  EXPECT_FALSE(s.Connect(6, 200));
  EXPECT_FALSE(s.AllowOpen(200));
  s.Disconnect(3);
  EXPECT_TRUE(s.Connect(7, 200));
  EXPECT_EQ(s.ConnectionCount(), kMaxConnections);
}

TEST(VolumeResolver, OnlyPublishedPlainNamesResolve) {
  char tmpl[] = "/tmp/kelva-resolver-XXXXXX";
  const std::filesystem::path dir = mkdtemp(tmpl);
  std::filesystem::create_directories(dir / "volumes");
  {
    FILE* f = fopen((dir / "volumes" / "Volume{11111111-2222-3333-4444-555555555555}").c_str(), "w");
    fputs("/dev/sr7\nrelative/ignored\n\n/tmp/disc01.img\r\n", f);
    fclose(f);
  }
  FolderVolumeResolver r(dir / "volumes");
  VolumeName n{};
  std::string m = Message(1, kVolA);
  std::copy(m.begin() + 2, m.end(), n.begin());
  EXPECT_EQ(r.Resolve(n), (std::vector<std::filesystem::path>{"/dev/sr7", "/tmp/disc01.img"}));
  m = Message(1, kVolB);
  std::copy(m.begin() + 2, m.end(), n.begin());
  EXPECT_TRUE(r.Resolve(n).empty());  // not an archive unit
  m = Message(1, u"\\\\?\\../../etc/passwd");
  std::copy(m.begin() + 2, m.end(), n.begin());
  EXPECT_TRUE(r.Resolve(n).empty());
  // A trailing backslash (a full 49-character name) is not part of the key.
  m = Message(1, kVolA + u"\\");
  std::copy(m.begin() + 2, m.end(), n.begin());
  EXPECT_EQ(VolumeKey(n), "Volume{11111111-2222-3333-4444-555555555555}");
  std::filesystem::remove_all(dir);
}

}  // namespace
}  // namespace kelva::filter
