#include "platform/device_source.h"

#include <cstdio>

#include "platform/digest.h"

namespace kelva::platform {

namespace {

std::string TrimTrailing(std::string text) {
  while (!text.empty() && static_cast<unsigned char>(text.back()) <= ' ') text.pop_back();
  return text;
}

bool EqualAsciiNoCase(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    char x = a[i], y = b[i];
    if (x >= 'a' && x <= 'z') x = static_cast<char>(x - 'a' + 'A');
    if (y >= 'a' && y <= 'z') y = static_cast<char>(y - 'a' + 'A');
    if (x != y) return false;
  }
  return true;
}

}  // namespace

std::string InterfacePathField(const std::string& text) {
  std::string out = TrimTrailing(text);
  for (char& c : out) {
    const auto u = static_cast<unsigned char>(c);
    // '#' separates the parts of the path, '\' and '/' would make it a folder path.
    if (u <= ' ' || u >= 0x7F || c == '#' || c == '\\' || c == '/' || c == '&') c = '_';
  }
  return out;
}

std::string MakeInterfacePath(const std::string& bus, const std::string& vendor, const std::string& product,
                              const std::string& instance) {
  return "\\\\?\\" + bus + "#CdRom&Ven_" + InterfacePathField(vendor) + "&Prod_" + InterfacePathField(product) + "#" +
         instance + "#{53f56308-b6bf-11d0-94f2-00a0c91efb8b}";
}

std::string NameBasedGuid(const std::string& text) {
  // A fixed name space of our own keeps these GUIDs apart from any other
  // name-based GUID made from the same text.
  static const uint8_t kNamespace[16] = {0x6b, 0x65, 0x6c, 0x76, 0x61, 0x2d, 0x76, 0x6f,
                                         0x6c, 0x75, 0x6d, 0x65, 0x73, 0x2d, 0x30, 0x31};
  std::vector<uint8_t> message(kNamespace, kNamespace + 16);
  message.insert(message.end(), text.begin(), text.end());
  Md5Digest d{};
  Md5(message, &d);
  d[6] = static_cast<uint8_t>((d[6] & 0x0F) | 0x30);  // version 3
  d[8] = static_cast<uint8_t>((d[8] & 0x3F) | 0x80);  // variant
  char buf[40];
  std::snprintf(buf, sizeof buf, "{%02x%02x%02x%02x-%02x%02x-%02x%02x-%02x%02x-%02x%02x%02x%02x%02x%02x}", d[0], d[1],
                d[2], d[3], d[4], d[5], d[6], d[7], d[8], d[9], d[10], d[11], d[12], d[13], d[14], d[15]);
  return buf;
}

bool IsArchiveUnitIdentity(const std::string& vendor, const std::string& product) {
  std::string identity = TrimTrailing(vendor);
  const std::string p = TrimTrailing(product);
  if (!p.empty()) identity += (identity.empty() ? "" : " ") + p;
  return EqualAsciiNoCase(identity, "KORRINDA QX V1A0") || EqualAsciiNoCase(identity, "NORVE QX V1A0");
}

}  // namespace kelva::platform
