#include "platform/udf/fs_util.h"

#include "platform/udf/dstring.h"
#include "platform/udf/bytes.h"
#include "platform/udf/entity_id.h"
#include "platform/udf/tag.h"

namespace kelva::udf {

Timestamp TimestampFromFileTime(platform::FileTime ft) {
  const platform::SystemTime st = platform::FileTimeToSystemTime(ft);
  Timestamp t;
  t.typeAndTimezone = 0x1000;  // local time of the zone UTC+0
  t.year = static_cast<int16_t>(st.wYear);
  t.month = static_cast<uint8_t>(st.wMonth);
  t.day = static_cast<uint8_t>(st.wDay);
  t.hour = static_cast<uint8_t>(st.wHour);
  t.minute = static_cast<uint8_t>(st.wMinute);
  t.second = static_cast<uint8_t>(st.wSecond);
  const uint32_t below_ms = static_cast<uint32_t>(ft % 10000);  // 100 ns units
  t.centiseconds = static_cast<uint8_t>(st.wMilliseconds / 10);
  t.hundredsOfMicroseconds =
      static_cast<uint8_t>((st.wMilliseconds % 10) * 10 + below_ms / 1000);
  t.microseconds = static_cast<uint8_t>((below_ms % 1000) / 10);
  return t;
}

platform::FileTime FileTimeFromTimestamp(const Timestamp& t) {
  platform::FileTime ft = 0;
  if (!TimestampToFileTime(t, &ft)) return 0;
  return ft;
}

std::vector<std::u16string> SplitVolumePath(std::u16string_view path) {
  std::vector<std::u16string> parts;
  size_t at = 0;
  while (at <= path.size()) {
    size_t end = path.find_first_of(u"\\/", at);
    if (end == std::u16string_view::npos) end = path.size();
    if (end > at) parts.emplace_back(path.substr(at, end - at));
    at = end + 1;
  }
  return parts;
}

platform::Win32Error CheckName(std::u16string_view name) {
  if (name.empty() || name == u"." || name == u"..") return platform::ERROR_INVALID_NAME;
  for (char16_t c : name) {
    if (c < 0x20 || c == u'\\' || c == u'/' || c == u'*' || c == u'?')
      return platform::ERROR_INVALID_NAME;
  }
  if (EncodeDChars(name).size() > 255) return platform::ERROR_FILENAME_EXCED_RANGE;
  return platform::ERROR_SUCCESS;
}

size_t PadFileIdentifiers(std::vector<FileIdentifierDescriptor>* fids) {
  size_t at = 0;
  for (size_t i = 0; i < fids->size(); ++i) {
    const size_t in_block = at % kSectorSize;
    if (i > 0 && in_block > kSectorSize - kTagSize) {
      std::vector<uint8_t>& iu = (*fids)[i - 1].implementationUse;
      if (iu.empty()) {
        iu.assign(kEntityIdSize, 0);
        EncodeEntityId(iu.data(),
                       MakeImplementationId(kFsImplementationId, kFsOsClass, kFsOsIdentifier));
        at += kEntityIdSize;
      } else {
        iu.resize(iu.size() + kSectorSize - in_block, 0);
        at += kSectorSize - in_block;
      }
    }
    at += FidLength((*fids)[i]);
  }
  return at;
}

bool IsOwnFidPadding(const std::vector<uint8_t>& implementation_use) {
  return implementation_use.size() >= kEntityIdSize &&
         DecodeEntityId(implementation_use.data()).Identifier() == kFsImplementationId;
}

}  // namespace kelva::udf
