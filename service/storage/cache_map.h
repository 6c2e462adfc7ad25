// CCacheMap: one map file of the cache store. It translates a cache file's current
// identity (the key: disc, file number) into the identity the file had when it was
// created (the value), which is what the file's name is made of, and carries a
// deletion mark per entry.
//
// The map is a B-tree of order 5 kept as one image in memory, laid out exactly as
// the map file on disk (little-endian):
//   header (12 bytes): node capacity N = (size - 12) / 76, root node index,
//                      head of the free-node list (kNoNode when empty)
//   node i at 12 + 76 * i (76 bytes): entry count (1), unused (3), parent index (4),
//                      leftmost child index (4; kNoNode in a leaf; next free node
//                      in a free node), four 16-byte entries
//   entry (16 bytes): key disc (1), value disc (1), mark (1), unused (1),
//                      key file (4), value file (4), right child index (4)
// Unused slots and free nodes are filled with 0xFF. The image grows by 4096 bytes
// when a node is needed and the free list is empty; a new map is 4096 bytes.
//
// Thread safety: lookups, marks and FirstMarked take the map's lock for reading;
// Insert, Remove and ReKey for writing. Load, LoadImage, Save and Unload are not
// locked: the owner calls them while nothing else uses the map.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <span>

#include "platform/clock.h"
#include "platform/errors.h"
#include "service/storage/reentrant_rw_lock.h"

namespace kelva::storage {

namespace fs = std::filesystem;
using platform::Win32Error;

inline constexpr uint32_t kNoNode = 0xFFFFFFFFu;

// One change made to a map, as told to its log: an insert (disc, file: the
// value), a removal, or a move to a new key (disc, file: the new key;
// value_disc, value_file: the value it carries). Each names the state it
// leaves its keys in, so that replaying changes over an image saved at any
// point of their sequence gives the same map.
struct CacheMapChange {
  static constexpr uint8_t kInsert = 1;
  static constexpr uint8_t kRemove = 2;
  static constexpr uint8_t kReKey = 3;
  uint8_t op = 0;
  uint8_t key_disc = 0;
  uint32_t key_file = 0;
  uint8_t disc = 0;
  uint32_t file = 0;
  uint8_t value_disc = 0;
  uint32_t value_file = 0;
};

// One map entry as the callers see it.
struct CacheMapEntry {
  uint8_t key_disc = 0;
  uint32_t key_file = 0;
  uint8_t value_disc = 0;
  uint32_t value_file = 0;
  bool marked = false;
};

class CCacheMap {
 public:
  static constexpr uint32_t kPageSize = 4096;
  static constexpr uint32_t kHeaderSize = 12;
  static constexpr uint32_t kNodeSize = 76;
  static constexpr uint32_t kEntrySize = 16;
  static constexpr uint32_t kMaxEntries = 4;

  explicit CCacheMap(platform::Clock& clock = platform::RealClock());
  ~CCacheMap();
  CCacheMap(const CCacheMap&) = delete;
  CCacheMap& operator=(const CCacheMap&) = delete;

  // Loads the map file at path (created if missing, and deleted again when it is
  // empty: a map exists on disk only after it has been saved). An empty file gives
  // a new map. Returns ERROR_ACCESS_DENIED for a file whose size is not a multiple
  // of 4096 or is 4 GiB or more, for a short read and for an image that is not a
  // sound tree (see LoadImage); ERROR_NOT_ENOUGH_MEMORY when the lock is unusable
  // or the image cannot be allocated; else a file error. Any loaded image is
  // dropped first; on failure the map is left unloaded.
  Win32Error Load(const fs::path& path);

  // Adopts a copy of bytes as the image (path stays as it was). An empty span
  // gives a new map. The image is checked completely before it is used: node
  // indexes in range, no node reached twice (no loops, no node both in the tree
  // and on the free list), parent links matching, at most four entries per node,
  // inner nodes with at least one entry, all leaves at one depth, keys in strictly
  // increasing order. Anything else gives ERROR_ACCESS_DENIED.
  Win32Error LoadImage(std::span<const uint8_t> bytes);

  // Writes the image to the path it was loaded from, beside it first and then
  // renamed over it, so that a kill meanwhile leaves the previous file whole. A
  // short write gives ERROR_WRITE_FAULT; on failure the file is deleted. The
  // map is unloaded afterwards whatever the outcome. A map that is not loaded
  // gives 0.
  Win32Error Save();
  // Writes the image as Save does while the map stays in use, under the map's
  // lock, and then calls then() still under it (no change comes between):
  // a log can drop what it kept of the changes the file now holds. then() is
  // not called when the write failed (the previous file stays).
  Win32Error Checkpoint(const std::function<void()>& then);

  // Drops the image without saving it.
  void Unload();

  // Told of every insert, removal and move as it is made, under the map's lock
  // (so in the order made), so that changes since the last save can be kept
  // elsewhere; marks are not told. The log must not use the map.
  void SetLog(std::function<void(const CacheMapChange&)> log) { log_ = std::move(log); }
  // Makes a change told to a log again (after a kill, over the map last
  // saved): the keys it names are left as it left them, whatever they held,
  // so that changes the image already holds are harmless. Not told to the log.
  void Apply(const CacheMapChange& change);

  bool IsLoaded() const { return image_ != nullptr; }
  const fs::path& path() const { return path_; }

  // Each of these gives ERROR_ACCESS_DENIED when the map is not loaded.
  // Lookup: ERROR_FILE_NOT_FOUND when the key is absent.
  Win32Error Lookup(uint8_t key_disc, uint32_t key_file, uint8_t* value_disc, uint32_t* value_file);
  // Insert: ERROR_FILE_EXISTS when the key is taken; ERROR_NOT_ENOUGH_MEMORY when
  // the image cannot grow (the map is then unchanged). New entries are unmarked.
  Win32Error Insert(uint8_t key_disc, uint32_t key_file, uint8_t value_disc, uint32_t value_file);
  // Remove: ERROR_FILE_NOT_FOUND when absent; *removed (optional) gets the entry.
  Win32Error Remove(uint8_t key_disc, uint32_t key_file, CacheMapEntry* removed = nullptr);
  // Moves the entry of the old key to the new key, keeping its value and clearing
  // its mark. ERROR_FILE_NOT_FOUND when the old key is absent, ERROR_FILE_EXISTS
  // when the new key is taken by another entry; in both cases nothing changes.
  Win32Error ReKey(uint8_t old_disc, uint32_t old_file, uint8_t new_disc, uint32_t new_file);
  // Sets (on) or clears the mark; ERROR_ALREADY_EXISTS when it already had that
  // value, ERROR_FILE_NOT_FOUND when the key is absent.
  Win32Error SetMark(uint8_t key_disc, uint32_t key_file, bool on);
  Win32Error GetMark(uint8_t key_disc, uint32_t key_file, bool* on);
  // The first marked entry in key order; false when none (or not loaded).
  bool FirstMarked(CacheMapEntry* out);
  // True when the map holds no entry (also when not loaded).
  bool IsEmpty();
  // Number of entries (walks the tree; for tests and diagnostics).
  size_t Count();

  // The image exactly as it would be saved (empty when not loaded). Valid until
  // the next change of the map.
  std::span<const uint8_t> Image() const { return {image_, image_ ? size_ : 0}; }

 private:
  // Node and entry field access on the image.
  uint8_t* NodePtr(uint32_t n) const { return image_ + kHeaderSize + static_cast<size_t>(n) * kNodeSize; }
  uint8_t* EntryPtr(uint32_t n, uint32_t k) const { return NodePtr(n) + 12 + k * kEntrySize; }
  uint32_t Capacity() const;
  uint32_t Root() const;
  void SetRoot(uint32_t n);
  uint32_t FreeHead() const;
  void SetFreeHead(uint32_t n);
  uint32_t Count(uint32_t n) const { return NodePtr(n)[0]; }
  void SetCount(uint32_t n, uint32_t c) { NodePtr(n)[0] = static_cast<uint8_t>(c); }
  uint32_t Parent(uint32_t n) const;
  void SetParent(uint32_t n, uint32_t p);
  uint32_t Child0(uint32_t n) const;
  void SetChild0(uint32_t n, uint32_t c);
  uint32_t Right(uint32_t n, uint32_t k) const;
  void SetRight(uint32_t n, uint32_t k, uint32_t c);
  uint32_t Child(uint32_t n, uint32_t i) const { return i == 0 ? Child0(n) : Right(n, i - 1); }
  uint64_t KeyAt(uint32_t n, uint32_t k) const;

  void InitNew();
  bool Adopt(uint8_t* image, size_t size, size_t allocated);
  // Checks the loaded image (tree shape, parent links, key order, free list)
  // and sets the child fields of leaf entries to "no child". False when unsound.
  bool Validate();
  // Makes room for one more page in the allocation when an insert could need it.
  bool ReserveForInsert();
  // Writes the image beside its file and renames it over it.
  Win32Error WriteImage();
  uint32_t AllocNode();
  void FreeNode(uint32_t n);
  // Finds key: true with its node and slot, else false.
  bool Find(uint64_t key, uint32_t* node, uint32_t* slot) const;
  Win32Error InsertLocked(uint64_t key, uint8_t value_disc, uint32_t value_file);
  void RemoveAt(uint32_t n, uint32_t k);
  void RemoveSlot(uint32_t n, uint32_t k);
  void Rebalance(uint32_t n);
  uint32_t IndexInParent(uint32_t parent, uint32_t n) const;
  uint32_t Height() const;
  bool FirstMarkedIn(uint32_t n, uint32_t depth, CacheMapEntry* out) const;
  size_t CountIn(uint32_t n, uint32_t depth) const;

  platform::Clock& clock_;
  fs::path path_;
  uint8_t* image_ = nullptr;  // page-aligned
  size_t size_ = 0;           // bytes of the image (the file size)
  size_t allocated_ = 0;      // bytes allocated (>= size_)
  uint32_t free_count_ = 0;   // nodes on the free list
  CReentrantRwLock lock_;
  std::function<void(const CacheMapChange&)> log_;
};

}  // namespace kelva::storage
