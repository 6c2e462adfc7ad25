// CEntryListing: the state of one folder listing or named-stream listing
// between calls of the volume's enumeration operations.
//
// The first call of an enumeration creates it in the caller's
// std::unique_ptr<CEntryListing>; the caller keeps it with the host's
// enumeration and destroys it (resets the pointer) when the host closes the
// enumeration. The volume also resets it itself when the listing has ended.
//
// A listing of names with wildcards holds one batch of records as the
// directory object lays them out (kListingBufferSize bytes) and where the
// next batch starts; a listing of one exact name holds only its end flag.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "service/storage/dir_object.h"

namespace kelva::volume {

struct FileRef;

class CEntryListing {
 public:
  // exact_name: the one-name form (no batch buffer).
  explicit CEntryListing(bool exact_name) : exact(exact_name) {
    if (!exact) buffer.resize(storage::kListingBufferSize);
  }
  CEntryListing(const CEntryListing&) = delete;
  CEntryListing& operator=(const CEntryListing&) = delete;

  // Forgets the batch: the next call starts again from the first row.
  void Restart() {
    end = false;
    next_index = 0;
    left = 0;
    cursor = 0;
    folder_path.reset();
    open_files.clear();
  }

  const bool exact;
  bool end = false;        // the rows ended (no further batch)
  int64_t next_index = 0;  // row index the next batch starts at
  uint32_t left = 0;       // records left in the batch
  size_t cursor = 0;       // byte offset of the next record in buffer
  std::vector<uint8_t> buffer;
  // Taken again with every batch, so that the batch's rows are shown against
  // the state of the volume just after they were read: the listed folder's
  // path (looked up only when a row is a folder) and the entries of the
  // files open then by identity (a file row not among them is shown as the
  // row stands).
  std::optional<std::u16string> folder_path;
  std::unordered_map<uint64_t, FileRef*> open_files;
};

}  // namespace kelva::volume
