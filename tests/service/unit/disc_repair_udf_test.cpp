// The controller repairing a write-once disc of the simulated unit: a damaged
// entry on an opened path is repaired once and the open retried, with the
// repair log as the user reads it.
#include <gtest/gtest.h>

#include <cstring>

#include "controller_fixture.h"
#include "emulator/magazine.h"
#include "platform/file.h"
#include "service/unit/udf_maintenance.h"
#include "tests/service/udf/udf_damage.h"

namespace kelva::unit::testing {
namespace {

constexpr const char16_t* kRaw = u"\\\\?\\Volume{0b5e8a11-0000-4000-8000-000000000022}\\";
constexpr size_t kSize = 100000;

class DiscRepairTest : public ::testing::Test {
 protected:
  void SetUp() override {
    clock_.SetAutoAdvanceOnSleep(true);
    SetRepairLogTarget(temp_.path() / "data", &clock_);
    emulator::SimUnitOptions options;
    options.clock = &clock_;
    sim_ = std::make_unique<emulator::SimUnit>(options);
    emulator::MagazineSpec spec;
    spec.type = type_;
    spec.capacity_code = 1;
    spec.disc_sectors = 640000;  // the four tracks of a write-once layout, and room
    for (int i = 0; i < 12; ++i) spec.id[i] = static_cast<uint8_t>(i + 40);
    std::memcpy(spec.label.data(), "UDF-TEST-22", 11);
    ASSERT_EQ(emulator::Magazine::Create(temp_.path() / "magazine", spec), 0u);
    ASSERT_EQ(sim_->InsertMagazine(temp_.path() / "magazine"), 0u);
    sim_device_ = std::make_unique<emulator::SimScsiDevice>(sim_.get());
    device_ = std::make_unique<RecordingDevice>(sim_device_.get());
    volumes_ = std::make_unique<UdfVolumeAccess>(&clock_);
    maintenance_ = std::make_unique<UdfDiscMaintenance>(&clock_);
    UnitControllerOptions o;
    o.clock = &clock_;
    o.data_folder = temp_.path() / "data";
    o.volumes = volumes_.get();
    o.maintenance = maintenance_.get();
    o.notifier = &notifier_;
    o.language = Language::kEnglish;
    o.monitor_thread = false;
    controller_ = UnitController::Create(kRaw, device_.get(), o);
    ASSERT_NE(controller_, nullptr);
    UnitController* c = controller_.get();
    volumes_->Attach(kRaw, UnitSectorDeviceFactory(device_.get(), [c] {
                       return c->MagazineTypeCode() == kMagazineRecordable;
                     }));
    maintenance_->AttachVolume(device_.get(), volumes_.get(), kRaw);

    controller_->IdentifyMagazine(nullptr);
    ASSERT_EQ(controller_->AcceptMount(), 1);
    data_.resize(kSize);
    for (size_t i = 0; i < kSize; ++i) data_[i] = static_cast<char>(i * 13);
    DiscFile f;
    ASSERT_EQ(controller_->CreateNew(u"A\\B\\C.BIN", true, false, &f), 0u);
    uint32_t done = 0;
    ASSERT_EQ(controller_->Write(f.get(), data_.data(), kSize, &done), 0u);
    controller_->Close(&f);
    ASSERT_EQ(controller_->DismountVolume(), 0u);
  }
  void TearDown() override {
    controller_.reset();
    volumes_.reset();
    SetRepairLogging(0);
    SetRepairLogTarget({}, nullptr);
    sim_.reset();
  }

  // Breaks the CRC of the file's entry (the only regular file of its size).
  void DamageFileEntry() {
    unit::UnitDrive drive(device_.get());
    udf::testing::UdfDamage d(drive);
    ASSERT_TRUE(d.ok());
    for (uint32_t n = 0; n < 64; ++n) {
      const uint32_t b = d.MapMeta(n);
      if (b == udf::kNoAddress) continue;
      const uint32_t lba = d.volume().partitionStart + b;
      auto s = d.Read(lba);
      if (udf::Get16(s.data()) == udf::kTagExtendedFileEntry && s[27] == 5 &&
          udf::Get64(s.data() + 56) == kSize) {
        ASSERT_TRUE(d.BreakCrc(lba));
        return;
      }
    }
    FAIL() << "no entry of the file";
  }
  std::string RepairLogText() {
    std::string bytes, text;
    platform::ReadWholeFile(RepairLogPath(), &bytes);
    for (size_t i = 2; i + 1 < bytes.size(); i += 2) text.push_back(bytes[i]);
    return text;
  }

  uint8_t type_ = emulator::kTypeRecordable;
  TempFolder temp_;
  platform::TestClock clock_;
  std::unique_ptr<emulator::SimUnit> sim_;
  std::unique_ptr<emulator::SimScsiDevice> sim_device_;
  std::unique_ptr<RecordingDevice> device_;
  std::unique_ptr<UdfVolumeAccess> volumes_;
  std::unique_ptr<UdfDiscMaintenance> maintenance_;
  RecordingNotifier notifier_;
  std::unique_ptr<UnitController> controller_;
  std::string data_;
};

TEST_F(DiscRepairTest, DamagedEntryIsRepairedOnceAndTheOpenRetried) {
  DamageFileEntry();
  SetRepairLogging(1);
  DiscFile f;
  ASSERT_EQ(controller_->OpenExisting(u"A\\B\\C.BIN", false, false, &f), 0u);
  std::string back(kSize, '\0');
  uint32_t done = 0;
  ASSERT_EQ(controller_->Read(f.get(), back.data(), kSize, &done), 0u);
  EXPECT_EQ(back, data_);
  controller_->Close(&f);
  // Every line of the log after its time stamp.
  std::string lines;
  const std::string text = RepairLogText();
  for (size_t at = 0; at < text.size();) {
    const size_t tab = text.find('\t', at), end = text.find('\n', at);
    if (tab == std::string::npos || end == std::string::npos) break;
    lines += text.substr(tab + 1, end - tab - 1);
    at = end + 1;
  }
  std::string shaped;
  for (size_t i = 0; i < lines.size(); ++i) {
    shaped += lines[i];
    if (lines[i] == 'x' && i > 0 && lines[i - 1] == '0' && lines.compare(i + 1, 8, "00000570") != 0)
      while (i + 1 < lines.size() && std::isxdigit(static_cast<unsigned char>(lines[i + 1]))) ++i;
  }
  EXPECT_EQ(shaped,
            "Logging activated\r"
            "CreateFile 'A\\B\\C.BIN' Error (0x00000570)\r"
            "Descriptor CRC 0x Error at 0x\r"
            "Repair File 'A\\B\\C.BIN' Success\r");
}

// Discs a repair must never write: a write-once disc in a write-protected
// magazine (the controller starts no repair) and a rewritable disc (the repair
// runs and leaves it alone). The damaged path fails as it is, a repair called
// directly reports nothing repaired, and no write reaches the unit.
struct NeverWritten {
  const char* name;
  uint8_t type;
  bool protect;
  const char* log;  // what the open adds to the repair log after "Logging activated"
};

class DiscNeverWrittenTest : public DiscRepairTest, public ::testing::WithParamInterface<NeverWritten> {
 protected:
  void SetUp() override {
    type_ = GetParam().type;
    DiscRepairTest::SetUp();
  }
  void WriteProtect() {
    sim_->PullMagazine();
    {
      emulator::Magazine m;
      ASSERT_EQ(m.Open(temp_.path() / "magazine"), 0u);
      m.write_protect = true;
      m.MarkDirty();
      ASSERT_EQ(m.Save(), 0u);
    }
    ASSERT_EQ(sim_->InsertMagazine(temp_.path() / "magazine"), 0u);
    controller_->IdentifyMagazine(nullptr);
    ASSERT_EQ(controller_->IsWritable(), 0);
  }
};

TEST_P(DiscNeverWrittenTest, DamagedPathFailsAndNothingIsWritten) {
  DamageFileEntry();
  if (GetParam().protect) {
    ASSERT_NO_FATAL_FAILURE(WriteProtect());
  }
  SetRepairLogging(1);
  device_->ClearCommands();
  auto writes = [&] {
    size_t n = 0;
    for (const auto& c : device_->Commands()) n += c[0] == 0x2A || c[0] == 0xAA;
    return n;
  };
  DiscFile f;
  EXPECT_EQ(controller_->OpenExisting(u"A\\B\\C.BIN", false, false, &f), platform::ERROR_FILE_CORRUPT);
  EXPECT_EQ(writes(), 0u);
  std::string lines;
  const std::string text = RepairLogText();
  for (size_t at = 0; at < text.size();) {
    const size_t tab = text.find('\t', at), end = text.find('\n', at);
    if (tab == std::string::npos || end == std::string::npos) break;
    lines += text.substr(tab + 1, end - tab - 1);
    at = end + 1;
  }
  EXPECT_EQ(lines, std::string("Logging activated\r") + GetParam().log);

  EXPECT_EQ(maintenance_->RepairFile(device_.get(), u"A\\B\\C.BIN", false), 0);
  EXPECT_EQ(maintenance_->RepairVolume(device_.get()), 0);
  if (!GetParam().protect) {
    EXPECT_EQ(writes(), 0u);  // a protected medium is tried, and refuses
  }
  // The entry is as damaged as before.
  EXPECT_EQ(controller_->OpenExisting(u"A\\B\\C.BIN", false, false, &f), platform::ERROR_FILE_CORRUPT);
}

const NeverWritten kNeverWritten[] = {
    {"WriteProtectedMagazine", emulator::kTypeRecordable, true, ""},
    {"RewritableDisc", emulator::kTypeRewritable, false,
     "CreateFile 'A\\B\\C.BIN' Error (0x00000570)\rRepair File 'A\\B\\C.BIN' Fail\r"},
};
INSTANTIATE_TEST_SUITE_P(Discs, DiscNeverWrittenTest, ::testing::ValuesIn(kNeverWritten),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace kelva::unit::testing
