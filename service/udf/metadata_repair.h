// In-place repair of the metadata of a write-once UDF volume (revision 2.60)
// left inconsistent by an interrupted recording: main and mirror metadata file
// entries that disagree, metadata blocks recorded on the disc but still marked
// allocated-not-recorded by the metadata file, neighbouring descriptors that
// continue each other, a lost file set descriptor and root folder, and folder
// and file entries with bad CRCs or checksums on a path.
//
// Every step reads first and writes only after it found a valid source; writes
// are pseudo-overwrites of recorded sectors or whole units appended to the
// metadata track (RepairDisc). A failed read, check or write ends the step with
// "nothing repaired" and leaves the disc as the writes so far made it, each of
// which leaves the volume readable on its own. Volumes of other revisions
// (rewritable discs) are never touched.
//
// Not thread safe; the caller keeps file systems off the volume while it runs.
#pragma once

#include <cstdint>
#include <string_view>
#include <vector>

#include "service/udf/metadata_map.h"
#include "service/udf/repair_disc.h"

namespace kelva::udf {

inline constexpr uint16_t kRepairableRevision = 0x0260;

// 1 when something was repaired, else 0. RepairVolume: the metadata file's main
// and mirror entries, then the file set descriptor and root folder. RepairFile:
// merged descriptors, then every entry on the path (relative to the root, "\"
// between components); `creating` accepts a missing last component.
int RepairVolume(IUdfDrive& drive, const RepairSink& sink, uint32_t* sectors_written = nullptr);
int RepairFile(IUdfDrive& drive, std::u16string_view path, bool creating, const RepairSink& sink,
               uint32_t* sectors_written = nullptr);

// The steps, for the entry points above and for tests.
class MetadataRepair {
 public:
  MetadataRepair(IUdfDrive& drive, RepairSink sink) : disc_(drive, std::move(sink)) {}

  // Reads the volume and its tracks; false unless it is a repairable volume.
  bool Open();
  RepairDisc& disc() { return disc_; }
  MetadataMap& map() { return map_; }

  // Copies a valid main or mirror metadata file entry, or a valid allocation
  // extent descriptor of one chain, over the other chain's damaged copy at the
  // first level where they differ. 1 when written.
  int ResolveMetadataMirror();
  bool LoadMap() { return map_.Load(disc_); }
  // The partition block of metadata block n; when it is unmapped, the block is
  // searched for on the disc and the metadata file repaired first.
  bool MapResolved(uint32_t n, uint32_t* block);
  // Looks for the recorded blocks of the not-recorded extent covering n and
  // records what it finds in the metadata file. True when a piece was found.
  bool SearchMetadataBlock(uint32_t n);
  int MergeOverlappedEntries();
  int RecoverFsdAndRoot();
  int RepairPath(std::u16string_view path, bool creating);

  bool repaired() const { return repaired_; }

 private:
  // An entry's block in the physical partition and the location its tag records.
  struct Located {
    uint32_t block = 0;
    uint32_t tagLocation = 0;
  };
  // Merges neighbours in the list; logs each when `log` is set. True when any.
  bool MergeNeighbours(bool log);
  // Checks the entry and rewrites its CRC or checksum. -1: not a usable entry;
  // else 0 or 1 (repaired). *type gets the file type.
  int CheckEntry(const Located& at, uint8_t* type, std::vector<uint8_t>* sector);
  bool MapIcb(const LbAddr& at, Located* out);
  bool FolderData(const std::vector<uint8_t>& entry, std::vector<uint8_t>* data);

  RepairDisc disc_;
  MetadataMap map_;
  bool repaired_ = false;
  bool searching_ = false;
};

}  // namespace kelva::udf
