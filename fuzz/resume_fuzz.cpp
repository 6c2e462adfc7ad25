// Reads arbitrary bytes as a resume file: the container check (GUID, digest,
// version) and, when it passes, the tagged records with the pinned-entry
// payloads the container itself defines. Nothing may crash or read past the end.
//
// The first input byte picks the GUID to expect (bit 0) and whether the digest is
// put right before reading (bit 1), so that the reader gets past it and the
// records are explored too; the rest is the file.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <string>

#include "platform/digest.h"
#include "platform/file.h"
#include "service/storage/resume_container.h"

using namespace kelva::storage;
using namespace kelva::platform;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

namespace {

const std::filesystem::path& ScratchPath() {
  static const std::filesystem::path path =
      std::filesystem::temp_directory_path() / ("kelva_resume_fuzz_" + std::to_string(std::random_device{}()));
  return path;
}

}  // namespace

// Exposed under a second name so that a test binary can hold both fuzz bodies.
extern "C" int KelvaResumeFuzzOne(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const ResumeGuid& guid = data[0] & 1 ? kSnapshotResumeGuid : kLiveResumeGuid;
  std::string bytes(reinterpret_cast<const char*>(data + 1), size - 1);
  if ((data[0] & 2) && bytes.size() >= kResumeRecordsOffset) {
    Md5Digest digest;
    Md5({reinterpret_cast<const uint8_t*>(bytes.data()) + kResumeHeaderOffset, bytes.size() - kResumeHeaderOffset},
        &digest);
    bytes.replace(kResumeDigestOffset, digest.size(), reinterpret_cast<const char*>(digest.data()), digest.size());
  }
  if (WriteWholeFile(ScratchPath(), bytes) != 0) return 0;
  File file;
  if (File::Open(ScratchPath(), kAccessReadWrite, Disposition::kOpenExisting, &file) != 0) return 0;
  CCacheDataStream stream(&file);
  ResumeHeader header;
  if (OpenResumeContainer(stream, file, guid, &header) == 0) {
    if (header.version != ResumeHeader::kVersion) std::abort();
    uint8_t tag = 0;
    size_t records = 0;
    while (ReadResumeTag(stream, &tag) && tag != kResumeTagEnd) {
      if (++records > size) std::abort();  // every record consumes input
      ResumePinnedRecord pin;
      if (tag != kResumeTagPinned || !ReadPinnedRecord(stream, &pin)) break;
    }
  }
  file.Close();
  DeleteFile(ScratchPath());
  return 0;
}

#ifndef KELVA_FUZZ_REPLAY
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) { return KelvaResumeFuzzOne(data, size); }
#endif
