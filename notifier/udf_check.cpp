#include "notifier/udf_check.h"

namespace kelva::notifier {

bool UdfDriverIsCurrent(std::optional<uint64_t> file_version) {
  if (!file_version) return false;
  const uint32_t high = static_cast<uint32_t>(*file_version >> 32);
  const uint32_t low = static_cast<uint32_t>(*file_version);
  return high != 0x00060001u || low > 0x1DB156C5u;  // 6.1: newer than 7601.22213
}

}  // namespace kelva::notifier
