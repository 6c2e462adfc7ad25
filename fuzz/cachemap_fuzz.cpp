// Loads arbitrary bytes as a cache map image and, when the image is accepted,
// runs lookups, inserts, removes, re-keys and marks on it. Whatever the input,
// nothing may crash or hang, the entry count must follow the operations, and the
// changed image must still pass the full check on loading.
//
// Input: the leading whole 4096-byte pages (at most 16) are the image; the
// remaining bytes are operations of six bytes each (operation, disc, file).
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "service/storage/cache_map.h"

using kelva::storage::CCacheMap;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  CCacheMap map;
  // The size check on its own.
  map.LoadImage({data, size});
  const size_t pages = std::min<size_t>(size / CCacheMap::kPageSize, 16);
  const size_t image_size = pages * CCacheMap::kPageSize;
  if (map.LoadImage({data, image_size}) != 0) return 0;
  size_t count = map.Count();
  const uint8_t* op = data + image_size;
  size_t left = size - image_size;
  for (; left >= 6; op += 6, left -= 6) {
    const uint8_t disc = op[1];
    uint32_t file;
    std::memcpy(&file, op + 2, 4);
    file &= 0x3FFF;  // a small key space, so that operations meet each other
    uint8_t vd = 0;
    uint32_t vf = 0;
    bool marked = false;
    kelva::storage::CacheMapEntry entry;
    switch (op[0] % 7) {
      case 0:
        map.Lookup(disc, file, &vd, &vf);
        break;
      case 1:
      case 2:
        if (map.Insert(disc, file, disc, file) == 0) ++count;
        break;
      case 3:
        if (map.Remove(disc, file) == 0) --count;
        break;
      case 4:
        map.ReKey(disc, file, static_cast<uint8_t>(disc + 1), file ^ 1);
        break;
      case 5:
        map.SetMark(disc, file, (op[0] & 0x80) != 0);
        map.GetMark(disc, file, &marked);
        break;
      case 6:
        map.FirstMarked(&entry);
        break;
    }
  }
  if (map.Count() != count) std::abort();
  const std::vector<uint8_t> image(map.Image().begin(), map.Image().end());
  CCacheMap again;
  if (again.LoadImage(image) != 0) std::abort();
  return 0;
}
