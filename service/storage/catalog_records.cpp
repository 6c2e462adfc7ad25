#include "service/storage/catalog_records.h"

namespace kelva::storage {
namespace {

void PutLe(std::string* out, uint64_t v, int bytes) {
  for (int i = 0; i < bytes; ++i) out->push_back(static_cast<char>((v >> (8 * i)) & 0xFF));
}

uint64_t GetLe(const uint8_t* p, int bytes) {
  uint64_t v = 0;
  for (int i = bytes - 1; i >= 0; --i) v = (v << 8) | p[i];
  return v;
}

}  // namespace

bool PackDirEntry(const DirEntryRecord& rec, std::string* out) {
  if (rec.name.size() > 0xFFFF) return false;
  out->reserve(out->size() + kPackedDirEntryHeaderSize + rec.name.size() * 2);
  PutLe(out, rec.type, 1);
  PutLe(out, rec.disk, 1);
  PutLe(out, rec.file, 4);
  PutLe(out, rec.attr, 4);
  PutLe(out, static_cast<uint64_t>(rec.size), 8);
  PutLe(out, static_cast<uint64_t>(rec.alloc), 8);
  PutLe(out, static_cast<uint64_t>(rec.ctime), 8);
  PutLe(out, static_cast<uint64_t>(rec.atime), 8);
  PutLe(out, static_cast<uint64_t>(rec.mtime), 8);
  PutLe(out, rec.hdisk, 1);
  PutLe(out, rec.hfile, 4);
  PutLe(out, rec.name.size(), 2);
  for (char16_t c : rec.name) PutLe(out, c, 2);
  return true;
}

uint16_t UnpackDirEntryHeader(const uint8_t* h, DirEntryRecord* rec) {
  rec->type = h[0];
  rec->disk = h[1];
  rec->file = static_cast<uint32_t>(GetLe(h + 2, 4));
  rec->attr = static_cast<uint32_t>(GetLe(h + 6, 4));
  rec->size = static_cast<int64_t>(GetLe(h + 10, 8));
  rec->alloc = static_cast<int64_t>(GetLe(h + 18, 8));
  rec->ctime = static_cast<int64_t>(GetLe(h + 26, 8));
  rec->atime = static_cast<int64_t>(GetLe(h + 34, 8));
  rec->mtime = static_cast<int64_t>(GetLe(h + 42, 8));
  rec->hdisk = h[50];
  rec->hfile = static_cast<uint32_t>(GetLe(h + 51, 4));
  rec->name.clear();
  return static_cast<uint16_t>(GetLe(h + 55, 2));
}

bool UnpackDirEntry(const uint8_t* data, size_t length, DirEntryRecord* rec, size_t* consumed) {
  if (length < kPackedDirEntryHeaderSize) return false;
  const size_t units = UnpackDirEntryHeader(data, rec);
  if (length - kPackedDirEntryHeaderSize < units * 2) return false;
  rec->name.resize(units);
  const uint8_t* p = data + kPackedDirEntryHeaderSize;
  for (size_t i = 0; i < units; ++i) rec->name[i] = static_cast<char16_t>(GetLe(p + 2 * i, 2));
  *consumed = kPackedDirEntryHeaderSize + units * 2;
  return true;
}

}  // namespace kelva::storage
