// UdfFileSystem: a UDF 2.50/2.60 file system with a metadata partition, mounted
// on a sector device. It stands in for the operating system's UDF driver: folders
// and files on a disc, read and written in user space.
//
// Media: on rewritable discs (overwritable partition) data and metadata blocks
// come from the unallocated space bitmap and the metadata bitmap file; on
// recordable discs (pseudo-overwritable partition) data is appended at the data
// track's next writable address and new metadata extents at the metadata track's,
// while rewritten metadata sectors rely on the drive's pseudo-overwrite.
//
// Writing: file data goes to the disc as it is written. Metadata (file entries,
// folder blocks, bitmaps, the metadata file's own entries) stays in memory until
// Flush, Dismount or destruction writes it back and closes the volume's integrity.
// The first change after a mount marks the integrity open on the disc, so that an
// interruption is visible at the next mount: such a volume mounts read-only (and
// says so in its volume information) until its integrity is closed.
//
// Paths are relative to the volume root; "\" separates components ("/" is accepted
// too). Names compare without regard to case (platform UpCase). Every operation
// returns 0 or a Win32 error code: 2 / 3 missing file / path, 80 file exists, 183
// folder exists, 112 disc full, 19 volume read-only, 23 unreadable sector, 1392
// damaged file entry or folder, 6851 unusable metadata file, 1005 not a volume of
// this kind, 21 after Dismount.
//
// Thread safety: every public method may be called from any thread; one lock
// serialises them (reads of data included), so concurrent readers are safe.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "platform/clock.h"
#include "platform/errors.h"
#include "platform/filetime.h"
#include "platform/udf/sector_device.h"
#include "platform/udf/space_bitmap.h"
#include "platform/udf/udf_node.h"
#include "platform/udf/volume_descriptors.h"

namespace kelva::udf {

class UdfFile;

// Windows file attributes kept in the volume.
enum UdfAttributes : uint32_t {
  kAttrReadOnly = 0x01,
  kAttrHidden = 0x02,
  kAttrSystem = 0x04,
  kAttrDirectory = 0x10,
  kAttrArchive = 0x20,
  kAttrNormal = 0x80,
};

struct UdfFileInfo {
  std::u16string name;
  uint32_t attributes = 0;
  platform::FileTime creationTime = 0;
  platform::FileTime lastAccessTime = 0;
  platform::FileTime lastWriteTime = 0;
  platform::FileTime changeTime = 0;  // attribute time
  uint64_t size = 0;
  uint64_t uniqueId = 0;
};

struct UdfVolumeInfo {
  std::string fileSystemName;  // "UDF"
  std::u16string label;        // the logical volume identifier
  uint32_t serialNumber = 0;
  bool readOnly = false;
  bool integrityOpen = false;  // the volume was not closed after its last change
  bool recordable = false;
  uint16_t udfRevision = 0;
};

enum class UdfCreate { kCreateNew, kOpenExisting };

struct UdfMountOptions {
  bool readOnly = false;
  platform::Clock* clock = nullptr;  // RealClock() when null
  // False: the metadata file is never moved into one larger extent but continued
  // in further extents, as other recorders leave it (tests build such discs).
  bool moveMetadata = true;
  // True: a rewritable volume left open by an interrupted write-back gets its
  // space bitmaps, file and folder counts and next unique ID rebuilt from its
  // tree and is mounted writable (its integrity closes at the next write-back).
  // A tree the walk finds damaged stays read-only.
  bool rebuildOpenIntegrity = false;
};

class UdfFileSystem {
 public:
  UdfFileSystem(const UdfFileSystem&) = delete;
  UdfFileSystem& operator=(const UdfFileSystem&) = delete;
  // Writes back what is still in memory (as Dismount does) when still mounted.
  ~UdfFileSystem();

  // Reads the volume structures from `device` (not owned; it must outlive the file
  // system) and mounts them. Returns 1005 for a blank, foreign or damaged volume,
  // 6851 when neither the metadata file nor its mirror can be used, 23 for an
  // unreadable descriptor sector.
  static platform::Win32Error Mount(ISectorDevice* device, const UdfMountOptions& options,
                                    std::unique_ptr<UdfFileSystem>* out);

  // ---- volume ----
  platform::Win32Error GetVolumeInformation(UdfVolumeInfo* info);
  // Free bytes for file data, and the partition's size in bytes.
  platform::Win32Error GetFreeSpace(uint64_t* free_bytes, uint64_t* total_bytes);
  // Writes every metadata change and closes the integrity. 0 when nothing changed.
  platform::Win32Error Flush();
  // Flush, then refuse every further call with 21.
  platform::Win32Error Dismount();
  // Lock fails with 5 while files are open; while locked, opens fail with 5.
  // Locks nest.
  platform::Win32Error Lock();
  platform::Win32Error Unlock();
  bool IsReadOnly();

  // ---- names ----
  // True when a search for `path` (wildcards allowed in its last component) finds
  // an entry.
  bool Exists(std::u16string_view path);
  platform::Win32Error GetInfo(std::u16string_view path, UdfFileInfo* info);
  // Calls `visit` for every entry of `path`'s folder whose name matches the last
  // component ("*", "?", without regard to case); a false result stops. Returns 2
  // when nothing matched, 3 when the folder does not exist.
  platform::Win32Error Find(std::u16string_view path,
                            const std::function<bool(const UdfFileInfo&)>& visit);
  // Every entry of a folder ("" is the root).
  platform::Win32Error Enumerate(std::u16string_view folder, std::vector<UdfFileInfo>* out);

  platform::Win32Error CreateFolder(std::u16string_view path);
  // Deletes a file (5 for a folder, 32 while it is open).
  platform::Win32Error Delete(std::u16string_view path);
  // Removes an empty folder (145 when not empty).
  platform::Win32Error RemoveFolder(std::u16string_view path);
  // Sets read-only, hidden, system and archive; other bits are ignored.
  platform::Win32Error SetAttributes(std::u16string_view path, uint32_t attributes);

  // kCreateNew fails with 80 when the name exists; kOpenExisting with 2 when it
  // does not. Opening a folder fails with 5.
  platform::Win32Error Open(std::u16string_view path, UdfCreate disposition, bool for_writing,
                            std::unique_ptr<UdfFile>* out);

  // Walks every folder and file entry and checks tags, CRCs, allocation and space
  // accounting; appends one line per problem. Returns the number of problems
  // found (0: clean).
  size_t Check(std::vector<std::string>* problems);

 private:
  friend class UdfFile;
  UdfFileSystem(ISectorDevice* device, platform::Clock* clock);

  using Err = platform::Win32Error;
  using NodePtr = std::shared_ptr<UdfNode>;

  Err MountLocked(bool read_only);
  Err ReadVolumeDescriptors();
  Err LoadMetadataFile();
  // Reads one metadata file entry (main or mirror) and the allocation extent
  // descriptors chained to it; extents that are not recorded are kept, unmapped.
  // False when the entry itself cannot be used; *broken set when the chain ends
  // at a damaged or repeated sector (the blocks after it are unmapped).
  bool LoadMetadataChain(uint32_t location, uint8_t type, FileEntry* fe,
                         std::vector<UdfExtent>* extents, std::vector<uint32_t>* aeds,
                         bool* broken);
  // What the load found wrong with the metadata file, for Check.
  void MetadataChainProblems(bool main_ok, bool main_broken, bool mirror_broken,
                             const std::vector<UdfExtent>& main_ext,
                             const std::vector<UdfExtent>& mirror_ext);
  // The metadata file's allocation descriptors as its entries record them.
  std::vector<ShortAd> MetadataAds() const;
  // Allocation extent descriptors the main and mirror entries need for the
  // descriptors beyond their own room: blocks of their chains are kept, missing
  // ones allocated and spare ones released. Runs before anything of a write-back
  // reaches the disc, so a volume that cannot hold its chain is left as it was.
  Err ReserveMetadataChains();
  // Lays the descriptors out into the entry and its chain (the chain's sectors
  // become pending writes).
  Err LayOutMetadataChain(const std::vector<ShortAd>& ads, FileEntry* fe,
                          const std::vector<uint32_t>& chain);
  Err AllocChainBlock(uint32_t* block);
  Err LoadBitmaps();
  Err LoadTracks();

  // Device access.
  Err ReadPhys(uint32_t lba, uint32_t count, uint8_t* buf);
  Err WritePhys(uint32_t lba, uint32_t count, const uint8_t* buf);
  bool MetaToPhys(uint32_t block, uint32_t* lba, uint32_t* run) const;
  Err ReadBlocks(uint16_t partition, uint32_t block, uint32_t count, uint8_t* buf);
  uint32_t PhysOf(uint16_t partition, uint32_t block) const;

  // Nodes and folders.
  Err LoadNode(const LbAddr& at, NodePtr* out);
  Err LoadExtents(UdfNode* node);
  Err ReadNodeData(UdfNode* node, uint64_t offset, size_t length, uint8_t* buf);
  Err LoadDir(UdfNode* node);
  Err Root(NodePtr* out);
  Err WalkFolder(const std::vector<std::u16string>& parts, size_t count, NodePtr* out);
  Err ResolveParent(std::u16string_view path, NodePtr* parent, std::u16string* leaf);
  Err InfoOf(const UdfDirEntry& entry, UdfFileInfo* info);
  void FillInfo(const UdfNode& node, uint8_t characteristics, UdfFileInfo* info) const;

  // Changes.
  Err BeginChange();
  Err NewNode(bool directory, const LbAddr& parent, NodePtr* out);
  void AddEntry(UdfNode* parent, const std::u16string& name, const NodePtr& child);
  void Touch(UdfNode* node, bool modified);
  uint64_t NextUniqueId();

  // Space.
  Err AllocMeta(uint32_t count, uint32_t* block);
  void FreeMeta(uint32_t block, uint32_t count);
  // Placement of the metadata file (udf_fs_metadata.cpp).
  void SetMetadataZone();
  Err GrowMetadata();
  Err GrowMetadataRewritable();
  Err GrowMetadataRecordable();
  Err RelocateMetadata(uint32_t start, uint32_t count);
  bool MayMoveMetadata() const;
  Err EnsureMetaUsage();
  Err AllocData(uint32_t goal, uint32_t want, uint32_t* block, uint32_t* count);
  void FreeData(uint32_t block, uint32_t count);
  uint64_t FreeDataBlocks() const;

  // File data.
  Err ReadFile(UdfNode* node, uint64_t offset, void* buf, size_t length, size_t* done);
  Err WriteFile(UdfNode* node, uint64_t offset, const void* buf, size_t length);
  Err WriteRange(UdfNode* node, uint64_t offset, const uint8_t* src, size_t length);
  Err WriteRangeRecordable(UdfNode* node, uint64_t offset, const uint8_t* src, size_t length);
  Err ZeroFill(UdfNode* node, uint64_t from, uint64_t to);
  Err Unembed(UdfNode* node);
  Err Truncate(UdfNode* node, uint64_t size);
  void ReplaceBlocks(UdfNode* node, uint64_t first, const UdfExtent& with);

  // Write-back.
  Err FlushLocked();
  Err SerializeDir(UdfNode* node);
  Err SerializeNode(UdfNode* node);
  Err SerializeMetadataFiles();
  Err WriteMetaBlocks();
  Err WritePending();
  Err WriteIntegrity(uint32_t type);
  void PutMeta(uint32_t block, std::vector<uint8_t> data);
  void PutPhys(uint32_t lba, std::vector<uint8_t> data);

  // Check, and the rebuild of an open volume's accounting.
  // Walks the tree and the volume's own structures into meta_used and
  // phys_used (a clear bit: the block is in use), counting files and folders.
  void WalkUsage(std::vector<std::string>* problems, SpaceBitmap* meta_used, SpaceBitmap* phys_used,
                 uint32_t* files, uint32_t* dirs);
  Err RebuildAccounting();
  void CheckNode(const LbAddr& at, const LbAddr& parent, int depth,
                 std::vector<std::string>* problems, std::unordered_map<uint64_t, int>* seen,
                 SpaceBitmap* meta_used, SpaceBitmap* phys_used, uint32_t* files, uint32_t* dirs);

  Err Usable() const;
  Err Writable() const;

  std::recursive_mutex mu_;
  ISectorDevice* device_;
  platform::Clock* clock_;
  bool mounted_ = false;
  bool readOnly_ = false;
  bool integrityOpenAtMount_ = false;
  bool rebuildOpen_ = false;        // UdfMountOptions::rebuildOpenIntegrity
  bool walkForRebuild_ = false;     // the walk gathers the highest unique ID instead of judging it
  uint64_t walkMaxUniqueId_ = 0;
  bool changed_ = false;  // integrity open on the disc, changes since
  int lockDepth_ = 0;
  int openFiles_ = 0;

  // Volume structures.
  uint32_t sectors_ = 0;
  PrimaryVolumeDescriptor pvd_;
  LogicalVolumeDescriptor lvd_;
  PartitionDescriptor pd_;
  LogicalVolumeIntegrityDescriptor lvid_;
  uint32_t lvidLocation_ = 0;
  uint16_t physRef_ = 0;
  uint16_t metaRef_ = 1;
  uint32_t partStart_ = 0;
  uint32_t partLength_ = 0;
  bool recordable_ = false;
  PartitionMap metaMap_;
  uint16_t revision_ = 0;

  // Metadata partition.
  FileEntry metaFe_;
  FileEntry mirrorFe_;
  bool mirrorUsable_ = false;
  std::vector<UdfExtent> metaExtents_;  // physical partition runs of the metadata file
  // Allocation extent descriptors (partition blocks) of the main and the mirror
  // entry, each chain in order.
  std::vector<uint32_t> metaAedBlocks_;
  std::vector<uint32_t> mirrorAedBlocks_;
  std::vector<uint32_t> chainSpare_;  // recordable: reserved, not yet used for a chain
  std::vector<std::string> metaProblems_;  // found while loading it, reported by Check
  uint32_t metaBlocks_ = 0;
  bool metaFilesDirty_ = false;
  FileEntry metaBitmapFe_;
  std::vector<UdfExtent> metaBitmapExtents_;  // when the bitmap is not embedded
  bool haveMetaBitmap_ = false;
  SpaceBitmap metaBitmap_;  // rewritable: recorded; recordable: built by a walk
  bool metaUsageKnown_ = false;
  bool metaBitmapDirty_ = false;
  // Rewritable: blocks behind the metadata files kept for the metadata file's
  // growth; file data goes there only when the rest of the partition is full.
  uint32_t metaZoneStart_ = 0, metaZoneEnd_ = 0;
  bool metaRelocated_ = false;  // moved since the last write-back
  bool moveMetadata_ = true;

  // Physical partition space.
  SpaceBitmap physBitmap_;  // rewritable
  bool havePhysBitmap_ = false;
  SpaceBitmapDescriptor physSbd_;
  uint32_t physBitmapBlock_ = 0;
  std::vector<std::pair<uint32_t, uint32_t>> pendingFree_;  // freed at the next flush
  uint32_t dataRover_ = 0;
  // Recordable: tracks as partition-relative next writable addresses and ends.
  uint32_t dataNwa_ = 0, dataEnd_ = 0;
  uint32_t metaNwa_ = 0, metaReserved_ = 0, metaTrackEnd_ = 0;

  LongAd rootIcb_;
  LbAddr fsdLocation_;
  std::unordered_map<uint64_t, NodePtr> nodes_;
  std::map<uint32_t, std::vector<uint8_t>> pendingMeta_;  // metadata block -> contents
  std::map<uint32_t, std::vector<uint8_t>> pendingPhys_;  // physical sector -> contents
  // Hash of what each metadata block last held on the disc, so that unchanged
  // blocks are not rewritten (each rewrite of a recordable disc's sector spends a
  // pseudo-overwrite).
  std::unordered_map<uint32_t, size_t> metaHash_;
  uint16_t serial_ = 1;  // tag serial number of the volume's descriptors
  uint32_t fileCount_ = 0, dirCount_ = 0;
};

}  // namespace kelva::udf
