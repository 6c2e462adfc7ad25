#include "service/storage/resume_container.h"

#include <cstring>

namespace kelva::storage {

using namespace platform;

namespace {

void Put32(uint8_t* p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}
void Put64(uint8_t* p, uint64_t v) {
  for (int i = 0; i < 8; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}
uint32_t Get32(const uint8_t* p) {
  uint32_t v = 0;
  for (int i = 3; i >= 0; --i) v = (v << 8) | p[i];
  return v;
}
uint64_t Get64(const uint8_t* p) {
  uint64_t v = 0;
  for (int i = 7; i >= 0; --i) v = (v << 8) | p[i];
  return v;
}

}  // namespace

void ResumeHeader::Serialize(uint8_t* out) const {
  Put32(out + 0, version);
  Put32(out + 4, catalog_time_low);
  Put32(out + 8, catalog_time_high);
  Put64(out + 12, cached_data_bytes);
  Put64(out + 20, pending_archive_bytes);
  Put64(out + 28, metadata_bytes);
  Put32(out + 36, catalog_number);
  out[40] = flags;
  Put64(out + 41, catalog_growth);
}

ResumeHeader ResumeHeader::Parse(const uint8_t* in) {
  ResumeHeader h;
  h.version = Get32(in + 0);
  h.catalog_time_low = Get32(in + 4);
  h.catalog_time_high = Get32(in + 8);
  h.cached_data_bytes = Get64(in + 12);
  h.pending_archive_bytes = Get64(in + 20);
  h.metadata_bytes = Get64(in + 28);
  h.catalog_number = Get32(in + 36);
  h.flags = in[40];
  h.catalog_growth = Get64(in + 41);
  return h;
}

void ResumePinnedRecord::Serialize(uint8_t* out) const {
  out[0] = kind;
  out[1] = disc;
  Put32(out + 2, file);
  Put32(out + 6, owner);
  Put32(out + 10, pin_count);
}

ResumePinnedRecord ResumePinnedRecord::Parse(const uint8_t* in) {
  return {in[0], in[1], Get32(in + 2), Get32(in + 6), Get32(in + 10)};
}

bool BeginResumeContainer(CCacheDataStream& stream, const ResumeGuid& guid, const ResumeHeader& header) {
  uint8_t head[kResumeRecordsOffset] = {};
  std::memcpy(head, guid.data(), guid.size());
  header.Serialize(head + kResumeHeaderOffset);
  return stream.Write(head, sizeof head);
}

bool WriteResumeTag(IDataStream& stream, uint8_t tag) { return stream.Write(&tag, 1); }
bool ReadResumeTag(IDataStream& stream, uint8_t* tag) { return stream.Read(tag, 1); }

bool WritePinnedRecord(IDataStream& stream, const ResumePinnedRecord& record) {
  uint8_t bytes[ResumePinnedRecord::kSize];
  record.Serialize(bytes);
  return stream.Write(bytes, sizeof bytes);
}

bool ReadPinnedRecord(IDataStream& stream, ResumePinnedRecord* record) {
  uint8_t bytes[ResumePinnedRecord::kSize];
  if (!stream.Read(bytes, sizeof bytes)) return false;
  *record = ResumePinnedRecord::Parse(bytes);
  return true;
}

bool SealResumeContainer(CCacheDataStream& stream, File& file) {
  if (!WriteResumeTag(stream, kResumeTagEnd) || !stream.Flush()) return false;
  uint64_t size = 0;
  if (file.Size(&size) != ERROR_SUCCESS || size < kResumeRecordsOffset) return false;
  Md5Digest digest;
  if (!stream.Md5(kResumeHeaderOffset, size - kResumeHeaderOffset, &digest)) return false;
  return stream.Seek(kResumeDigestOffset) && stream.Write(digest.data(), digest.size()) && stream.Flush();
}

Win32Error OpenResumeContainer(CCacheDataStream& stream, File& file, const ResumeGuid& guid, ResumeHeader* header) {
  uint64_t size = 0;
  Win32Error e = file.Size(&size);
  if (e != ERROR_SUCCESS) return e;
  if (size < kResumeRecordsOffset) return ERROR_HANDLE_EOF;
  uint8_t head[kResumeHeaderOffset];
  if (!stream.Seek(0) || !stream.Read(head, sizeof head)) {
    return stream.last_error() != ERROR_SUCCESS ? stream.last_error() : ERROR_HANDLE_EOF;
  }
  if (std::memcmp(head, guid.data(), guid.size()) != 0) return ERROR_INVALID_DATA;
  Md5Digest digest;
  if (!stream.Md5(kResumeHeaderOffset, size - kResumeHeaderOffset, &digest)) {
    return stream.last_error() != ERROR_SUCCESS ? stream.last_error() : ERROR_HANDLE_EOF;
  }
  if (std::memcmp(head + kResumeDigestOffset, digest.data(), digest.size()) != 0) return ERROR_INVALID_DATA;
  uint8_t bytes[ResumeHeader::kSize];
  if (!stream.Seek(kResumeHeaderOffset) || !stream.Read(bytes, sizeof bytes)) return ERROR_HANDLE_EOF;
  const ResumeHeader parsed = ResumeHeader::Parse(bytes);
  if (parsed.version != ResumeHeader::kVersion) return ERROR_INVALID_DATA;
  *header = parsed;
  return ERROR_SUCCESS;
}

}  // namespace kelva::storage
