// The in-memory form of one file or folder of a mounted UDF volume: its decoded
// (extended) file entry, where its data lies, and for a folder the decoded file
// identifiers. Nodes are owned by the file system's node table and shared with
// open file handles; every field is guarded by the file system's lock.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "platform/udf/alloc_desc.h"
#include "platform/udf/file_descriptors.h"

namespace kelva::udf {

// A run of whole blocks of a node's data. `recorded` false: the run reads as
// zeros (an extent allocated or not, but not recorded).
struct UdfExtent {
  uint32_t block = 0;
  uint32_t count = 0;
  uint16_t partition = 0;
  bool recorded = true;
  bool operator==(const UdfExtent&) const = default;
};

// One live file identifier of a folder.
struct UdfDirEntry {
  std::u16string name;
  uint8_t characteristics = 0;  // kFidDirectory, kFidHidden
  LongAd icb;
  std::vector<uint8_t> implementationUse;
  bool deleted = false;  // removed in memory; dropped when the folder is written
};

struct UdfDirContents {
  std::vector<UdfDirEntry> entries;
  std::unordered_map<std::u16string, size_t> index;  // upper-cased name -> entry
  size_t live = 0;

  // The entry named `name` (compared without case), or nullptr.
  UdfDirEntry* Find(std::u16string_view name);
};

struct UdfNode {
  LbAddr location;  // of the file entry
  FileEntry fe;     // allocation descriptors moved into `extents` / `inlineData`
  bool embedded = false;
  std::vector<uint8_t> inlineData;
  std::vector<UdfExtent> extents;
  std::vector<uint32_t> aedBlocks;  // metadata blocks holding allocation extent descriptors
  std::unique_ptr<UdfDirContents> dir;  // loaded on first use (folders)
  LbAddr parent;  // folders: the parent recorded in the folder's parent identifier
  bool dirty = false;     // file entry (and its allocation) to be written
  bool dirDirty = false;  // folder contents to be written
  bool deleted = false;
  int openCount = 0;

  bool IsDirectory() const { return fe.icbTag.fileType == kFileTypeDirectory; }
  uint64_t Size() const { return fe.informationLength; }
  uint64_t AllocatedBlocks() const {
    uint64_t n = 0;
    for (const auto& e : extents) n += e.count;
    return n;
  }
};

inline uint64_t NodeKey(const LbAddr& a) {
  return (static_cast<uint64_t>(a.partitionReferenceNum) << 32) | a.logicalBlockNum;
}

}  // namespace kelva::udf
