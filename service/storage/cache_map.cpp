#include "service/storage/cache_map.h"

#include <bit>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "platform/file.h"
#include "service/storage/cache_file_ops.h"

namespace kelva::storage {

using namespace platform;

namespace {

// Images of 4 GiB or more cannot be described by the 32-bit header.
constexpr uint64_t kMaxImageSize = uint64_t{1} << 32;

uint32_t Load32(const uint8_t* p) {
  uint32_t v;
  std::memcpy(&v, p, 4);
  if constexpr (std::endian::native == std::endian::big) v = __builtin_bswap32(v);
  return v;
}

void Store32(uint8_t* p, uint32_t v) {
  if constexpr (std::endian::native == std::endian::big) v = __builtin_bswap32(v);
  std::memcpy(p, &v, 4);
}

uint64_t MakeKey(uint8_t disc, uint32_t file) { return (uint64_t{disc} << 32) | file; }

uint8_t* AllocImage(size_t bytes) {
  return static_cast<uint8_t*>(std::aligned_alloc(CCacheMap::kPageSize, bytes));
}

}  // namespace

CCacheMap::CCacheMap(Clock& clock) : clock_(clock) {}

CCacheMap::~CCacheMap() { Unload(); }

uint32_t CCacheMap::Capacity() const { return Load32(image_); }
uint32_t CCacheMap::Root() const { return Load32(image_ + 4); }
void CCacheMap::SetRoot(uint32_t n) { Store32(image_ + 4, n); }
uint32_t CCacheMap::FreeHead() const { return Load32(image_ + 8); }
void CCacheMap::SetFreeHead(uint32_t n) { Store32(image_ + 8, n); }
uint32_t CCacheMap::Parent(uint32_t n) const { return Load32(NodePtr(n) + 4); }
void CCacheMap::SetParent(uint32_t n, uint32_t p) { Store32(NodePtr(n) + 4, p); }
uint32_t CCacheMap::Child0(uint32_t n) const { return Load32(NodePtr(n) + 8); }
void CCacheMap::SetChild0(uint32_t n, uint32_t c) { Store32(NodePtr(n) + 8, c); }
uint32_t CCacheMap::Right(uint32_t n, uint32_t k) const { return Load32(EntryPtr(n, k) + 12); }
void CCacheMap::SetRight(uint32_t n, uint32_t k, uint32_t c) { Store32(EntryPtr(n, k) + 12, c); }

uint64_t CCacheMap::KeyAt(uint32_t n, uint32_t k) const {
  const uint8_t* e = EntryPtr(n, k);
  return MakeKey(e[0], Load32(e + 4));
}

void CCacheMap::Unload() {
  std::free(image_);
  image_ = nullptr;
  size_ = 0;
  allocated_ = 0;
  free_count_ = 0;
}

bool CCacheMap::Adopt(uint8_t* image, size_t size, size_t allocated) {
  Unload();
  image_ = image;
  size_ = size;
  allocated_ = allocated;
  if (!Validate()) {
    Unload();
    return false;
  }
  return true;
}

void CCacheMap::InitNew() {
  uint8_t* image = AllocImage(kPageSize);
  if (!image) return;
  std::memset(image, 0xFF, kPageSize);
  Unload();
  image_ = image;
  size_ = allocated_ = kPageSize;
  const uint32_t capacity = (kPageSize - kHeaderSize) / kNodeSize;  // 53
  Store32(image_, capacity);
  SetRoot(0);
  SetCount(0, 0);
  for (uint32_t n = 1; n < capacity; ++n) SetChild0(n, n + 1 < capacity ? n + 1 : kNoNode);
  SetFreeHead(1);
  free_count_ = capacity - 1;
}

Win32Error CCacheMap::LoadImage(std::span<const uint8_t> bytes) {
  if (!lock_.Valid()) return ERROR_NOT_ENOUGH_MEMORY;
  if (bytes.empty()) {
    InitNew();
    return IsLoaded() ? ERROR_SUCCESS : ERROR_NOT_ENOUGH_MEMORY;
  }
  if (bytes.size() % kPageSize != 0 || bytes.size() >= kMaxImageSize) {
    Unload();
    return ERROR_ACCESS_DENIED;
  }
  uint8_t* image = AllocImage(bytes.size());
  if (!image) {
    Unload();
    return ERROR_NOT_ENOUGH_MEMORY;
  }
  std::memcpy(image, bytes.data(), bytes.size());
  return Adopt(image, bytes.size(), bytes.size()) ? ERROR_SUCCESS : ERROR_ACCESS_DENIED;
}

Win32Error CCacheMap::Load(const fs::path& path) {
  Unload();
  path_ = path;
  if (!lock_.Valid()) return ERROR_NOT_ENOUGH_MEMORY;
  File file;
  Win32Error e = OpenFileWithRetry(clock_, path, kAccessRead, Disposition::kOpenAlways, &file);
  if (e != ERROR_SUCCESS) return e;
  uint64_t size = 0;
  if ((e = file.Size(&size)) != ERROR_SUCCESS) return e;
  if (size == 0) {
    file.Close();
    DeleteFileWithRetry(clock_, path);
    InitNew();
    return IsLoaded() ? ERROR_SUCCESS : ERROR_NOT_ENOUGH_MEMORY;
  }
  if (size % kPageSize != 0 || size >= kMaxImageSize) return ERROR_ACCESS_DENIED;
  uint8_t* image = AllocImage(size);
  if (!image) return ERROR_NOT_ENOUGH_MEMORY;
  uint64_t offset = 0;
  while (offset < size) {
    const uint32_t chunk = static_cast<uint32_t>(std::min<uint64_t>(size - offset, 1u << 30));
    uint32_t done = 0;
    e = file.ReadAt(offset, image + offset, chunk, &done);
    if (e != ERROR_SUCCESS || done != chunk) {
      std::free(image);
      return ERROR_ACCESS_DENIED;
    }
    offset += chunk;
  }
  return Adopt(image, size, size) ? ERROR_SUCCESS : ERROR_ACCESS_DENIED;
}

Win32Error CCacheMap::WriteImage() {
  fs::path fresh = path_;
  fresh += ".new";
  File file;
  Win32Error e = OpenFileWithRetry(clock_, fresh, kAccessWrite, Disposition::kCreateAlways, &file);
  if (e != ERROR_SUCCESS) return e;
  uint64_t offset = 0;
  while (offset < size_ && e == ERROR_SUCCESS) {
    const uint32_t chunk = static_cast<uint32_t>(std::min<uint64_t>(size_ - offset, 1u << 30));
    uint32_t done = 0;
    e = file.WriteAt(offset, image_ + offset, chunk, &done);
    if (e == ERROR_SUCCESS && done != chunk) e = ERROR_WRITE_FAULT;
    offset += chunk;
  }
  file.Close();
  if (e == ERROR_SUCCESS) e = platform::MoveFile(fresh, path_, true);
  if (e != ERROR_SUCCESS) DeleteFileWithRetry(clock_, fresh);
  return e;
}

Win32Error CCacheMap::Save() {
  if (!IsLoaded()) return ERROR_SUCCESS;
  const Win32Error e = WriteImage();
  // A map that could not be written must not be read back as it was before.
  if (e != ERROR_SUCCESS) DeleteFileWithRetry(clock_, path_);
  Unload();
  return e;
}

Win32Error CCacheMap::Checkpoint(const std::function<void()>& then) {
  if (!IsLoaded()) return ERROR_ACCESS_DENIED;
  WriteGuard g(lock_);
  const Win32Error e = WriteImage();
  if (e == ERROR_SUCCESS && then) then();
  return e;
}

// A full check of the image, so that no later operation can index outside it or
// walk in circles. Everything a map written by this system satisfies is accepted.
bool CCacheMap::Validate() {
  if (size_ < kPageSize) return false;
  const uint32_t capacity = Capacity();
  if (capacity != (size_ - kHeaderSize) / kNodeSize) return false;
  const uint32_t root = Root();
  if (root >= capacity) return false;
  std::vector<uint8_t> seen(capacity, 0);
  struct Item {
    uint32_t node;
    uint32_t parent;
    uint32_t depth;
  };
  std::vector<Item> stack;
  stack.push_back({root, kNoNode, 0});
  int64_t leaf_depth = -1;
  std::vector<uint32_t> leaves;
  // Keys are checked for order during an in-order walk that is done separately
  // below, once the structure is known to be sound.
  while (!stack.empty()) {
    const Item it = stack.back();
    stack.pop_back();
    if (it.node >= capacity || seen[it.node]) return false;
    seen[it.node] = 1;
    const uint32_t count = Count(it.node);
    if (count > kMaxEntries) return false;
    if (Parent(it.node) != it.parent) return false;
    // A node is a leaf by its leftmost child alone; the other child fields of
    // a leaf's entries are not looked at (a map written elsewhere may hold
    // anything there).
    const bool leaf = Child0(it.node) == kNoNode;
    if (leaf) {
      leaves.push_back(it.node);
      if (leaf_depth < 0) leaf_depth = it.depth;
      if (leaf_depth != static_cast<int64_t>(it.depth)) return false;
      continue;
    }
    if (count == 0) return false;
    for (uint32_t k = 0; k < count; ++k) {
      if (Right(it.node, k) == kNoNode) return false;
    }
    for (uint32_t i = 0; i <= count; ++i) stack.push_back({Child(it.node, i), it.node, it.depth + 1});
  }
  // The free list: in range, each node once, none of them in the tree.
  uint32_t free_count = 0;
  for (uint32_t n = FreeHead(); n != kNoNode; n = Child0(n)) {
    if (n >= capacity || seen[n]) return false;
    seen[n] = 2;
    ++free_count;
  }
  // Keys in strictly increasing order (iterative in-order walk; depth is bounded
  // now that the tree is known to be finite and balanced).
  struct Pos {
    uint32_t node;
    uint32_t next;  // next child index to visit
  };
  std::vector<Pos> path;
  bool have_prev = false;
  uint64_t prev = 0;
  path.push_back({root, 0});
  while (!path.empty()) {
    Pos& top = path.back();
    const uint32_t n = top.node;
    const uint32_t count = Count(n);
    const bool leaf = Child0(n) == kNoNode;
    if (leaf) {
      for (uint32_t k = 0; k < count; ++k) {
        const uint64_t key = KeyAt(n, k);
        if (have_prev && key <= prev) return false;
        prev = key;
        have_prev = true;
      }
      path.pop_back();
      continue;
    }
    if (top.next > count) {
      path.pop_back();
      continue;
    }
    const uint32_t i = top.next++;
    if (i > 0) {
      const uint64_t key = KeyAt(n, i - 1);
      if (have_prev && key <= prev) return false;
      prev = key;
      have_prev = true;
    }
    path.push_back({Child(n, i), 0});
  }
  // The walks below the map find a leaf by a missing child: whatever a leaf's
  // entries held there is replaced by "no child".
  for (uint32_t n : leaves)
    for (uint32_t k = 0; k < Count(n); ++k) SetRight(n, k, kNoNode);
  free_count_ = free_count;
  return true;
}

uint32_t CCacheMap::Height() const {
  uint32_t h = 1;
  for (uint32_t n = Root(); Child0(n) != kNoNode; n = Child0(n)) ++h;
  return h;
}

bool CCacheMap::ReserveForInsert() {
  // An insert takes at most one node per level plus a new root.
  if (free_count_ >= Height() + 1) return true;
  const size_t needed = size_ + kPageSize;
  if (needed >= kMaxImageSize) return false;
  if (needed <= allocated_) return true;
  size_t grown = allocated_ * 2;
  if (grown < needed) grown = needed;
  if (grown >= kMaxImageSize) grown = kMaxImageSize - kPageSize;
  uint8_t* image = AllocImage(grown);
  if (!image) return false;
  std::memcpy(image, image_, size_);
  std::free(image_);
  image_ = image;
  allocated_ = grown;
  return true;
}

uint32_t CCacheMap::AllocNode() {
  if (FreeHead() == kNoNode) {
    // Grow by one page; ReserveForInsert made room for it in the allocation.
    const uint32_t old_capacity = Capacity();
    std::memset(image_ + size_, 0xFF, kPageSize);
    size_ += kPageSize;
    const uint32_t capacity = static_cast<uint32_t>((size_ - kHeaderSize) / kNodeSize);
    Store32(image_, capacity);
    for (uint32_t n = old_capacity; n < capacity; ++n) {
      std::memset(NodePtr(n), 0xFF, kNodeSize);
      SetChild0(n, n + 1 < capacity ? n + 1 : kNoNode);
    }
    SetFreeHead(old_capacity);
    free_count_ += capacity - old_capacity;
  }
  const uint32_t n = FreeHead();
  SetFreeHead(Child0(n));
  --free_count_;
  std::memset(NodePtr(n), 0xFF, kNodeSize);
  return n;
}

void CCacheMap::FreeNode(uint32_t n) {
  std::memset(NodePtr(n), 0xFF, kNodeSize);
  SetChild0(n, FreeHead());
  SetFreeHead(n);
  ++free_count_;
}

bool CCacheMap::Find(uint64_t key, uint32_t* node, uint32_t* slot) const {
  uint32_t n = Root();
  for (;;) {
    const uint32_t count = Count(n);
    uint32_t k = 0;
    for (; k < count; ++k) {
      const uint64_t here = KeyAt(n, k);
      if (here == key) {
        *node = n;
        *slot = k;
        return true;
      }
      if (here > key) break;
    }
    const uint32_t child = Child(n, k);
    if (child == kNoNode) return false;
    // A node spans two cache lines; ask for both at once.
    __builtin_prefetch(NodePtr(child) + kNodeSize - 1);
    n = child;
  }
}

Win32Error CCacheMap::Lookup(uint8_t key_disc, uint32_t key_file, uint8_t* value_disc, uint32_t* value_file) {
  if (!IsLoaded()) return ERROR_ACCESS_DENIED;
  ReadGuard g(lock_);
  uint32_t n, k;
  if (!Find(MakeKey(key_disc, key_file), &n, &k)) return ERROR_FILE_NOT_FOUND;
  const uint8_t* e = EntryPtr(n, k);
  *value_disc = e[1];
  *value_file = Load32(e + 8);
  return ERROR_SUCCESS;
}

Win32Error CCacheMap::Insert(uint8_t key_disc, uint32_t key_file, uint8_t value_disc, uint32_t value_file) {
  if (!IsLoaded()) return ERROR_ACCESS_DENIED;
  WriteGuard g(lock_);
  const Win32Error e = InsertLocked(MakeKey(key_disc, key_file), value_disc, value_file);
  if (e == ERROR_SUCCESS && log_) log_({CacheMapChange::kInsert, key_disc, key_file, value_disc, value_file});
  return e;
}

Win32Error CCacheMap::InsertLocked(uint64_t key, uint8_t value_disc, uint32_t value_file) {
  // Descend to the leaf that takes the key.
  uint32_t n = Root();
  uint32_t pos;
  for (;;) {
    const uint32_t count = Count(n);
    pos = 0;
    for (; pos < count; ++pos) {
      const uint64_t here = KeyAt(n, pos);
      if (here == key) return ERROR_FILE_EXISTS;
      if (here > key) break;
    }
    const uint32_t child = Child(n, pos);
    if (child == kNoNode) break;
    n = child;
  }
  if (!ReserveForInsert()) return ERROR_NOT_ENOUGH_MEMORY;

  uint8_t entry[kEntrySize];
  entry[0] = static_cast<uint8_t>(key >> 32);
  entry[1] = value_disc;
  entry[2] = 0;
  entry[3] = 0xFF;
  Store32(entry + 4, static_cast<uint32_t>(key));
  Store32(entry + 8, value_file);
  Store32(entry + 12, kNoNode);

  for (;;) {
    const uint32_t count = Count(n);
    if (count < kMaxEntries) {
      std::memmove(EntryPtr(n, pos + 1), EntryPtr(n, pos), (count - pos) * kEntrySize);
      std::memcpy(EntryPtr(n, pos), entry, kEntrySize);
      SetCount(n, count + 1);
      return ERROR_SUCCESS;
    }
    // Split the full node: two entries stay, the middle one moves up, two go to
    // a new node on the right.
    uint8_t all[kMaxEntries + 1][kEntrySize];
    for (uint32_t i = 0, j = 0; i <= kMaxEntries; ++i) {
      if (i == pos) {
        std::memcpy(all[i], entry, kEntrySize);
      } else {
        std::memcpy(all[i], EntryPtr(n, j++), kEntrySize);
      }
    }
    const uint32_t sibling = AllocNode();
    std::memcpy(EntryPtr(n, 0), all[0], kEntrySize);
    std::memcpy(EntryPtr(n, 1), all[1], kEntrySize);
    std::memset(EntryPtr(n, 2), 0xFF, 2 * kEntrySize);
    SetCount(n, 2);
    SetCount(sibling, 2);
    SetParent(sibling, Parent(n));
    SetChild0(sibling, Load32(all[2] + 12));
    std::memcpy(EntryPtr(sibling, 0), all[3], kEntrySize);
    std::memcpy(EntryPtr(sibling, 1), all[4], kEntrySize);
    for (uint32_t i = 0; i <= 2; ++i) {
      const uint32_t c = Child(sibling, i);
      if (c != kNoNode) SetParent(c, sibling);
    }
    std::memcpy(entry, all[2], kEntrySize);
    Store32(entry + 12, sibling);
    if (n == Root()) {
      const uint32_t root = AllocNode();
      SetCount(root, 1);
      SetParent(root, kNoNode);
      SetChild0(root, n);
      std::memcpy(EntryPtr(root, 0), entry, kEntrySize);
      SetParent(n, root);
      SetParent(sibling, root);
      SetRoot(root);
      return ERROR_SUCCESS;
    }
    const uint32_t parent = Parent(n);
    pos = IndexInParent(parent, n);
    n = parent;
  }
}

uint32_t CCacheMap::IndexInParent(uint32_t parent, uint32_t n) const {
  const uint32_t count = Count(parent);
  for (uint32_t i = 0; i <= count; ++i) {
    if (Child(parent, i) == n) return i;
  }
  return count;  // not reached in a sound tree
}

// Removes entry k and the child pointer to its right; the slot freed at the end
// is refilled with 0xFF.
void CCacheMap::RemoveSlot(uint32_t n, uint32_t k) {
  const uint32_t count = Count(n);
  std::memmove(EntryPtr(n, k), EntryPtr(n, k + 1), (count - k - 1) * kEntrySize);
  std::memset(EntryPtr(n, count - 1), 0xFF, kEntrySize);
  SetCount(n, count - 1);
}

void CCacheMap::RemoveAt(uint32_t n, uint32_t k) {
  if (Child0(n) != kNoNode) {
    // An inner entry is replaced by its in-order predecessor, the last entry of
    // the rightmost leaf under the child to its left; that one is removed instead.
    uint32_t leaf = Child(n, k);
    while (Child0(leaf) != kNoNode) leaf = Child(leaf, Count(leaf));
    const uint32_t last = Count(leaf) - 1;
    std::memcpy(EntryPtr(n, k), EntryPtr(leaf, last), 12);  // keeps the right child
    n = leaf;
    k = last;
  }
  RemoveSlot(n, k);
  Rebalance(n);
}

void CCacheMap::Rebalance(uint32_t n) {
  while (Count(n) < 2) {
    if (n == Root()) {
      if (Count(n) == 0 && Child0(n) != kNoNode) {
        const uint32_t child = Child0(n);
        SetRoot(child);
        SetParent(child, kNoNode);
        FreeNode(n);
      }
      return;
    }
    const uint32_t parent = Parent(n);
    const uint32_t i = IndexInParent(parent, n);
    if (i < Count(parent)) {
      // The sibling to the right; the separator is the parent's entry i.
      const uint32_t sibling = Child(parent, i + 1);
      const uint32_t cn = Count(n);
      const uint32_t cs = Count(sibling);
      if (cs > 2) {
        std::memcpy(EntryPtr(n, cn), EntryPtr(parent, i), 12);
        const uint32_t moved = Child0(sibling);
        SetRight(n, cn, moved);
        if (moved != kNoNode) SetParent(moved, n);
        SetCount(n, cn + 1);
        std::memcpy(EntryPtr(parent, i), EntryPtr(sibling, 0), 12);  // right stays the sibling
        const uint32_t new_first = Right(sibling, 0);
        std::memmove(EntryPtr(sibling, 0), EntryPtr(sibling, 1), (cs - 1) * kEntrySize);
        std::memset(EntryPtr(sibling, cs - 1), 0xFF, kEntrySize);
        SetCount(sibling, cs - 1);
        SetChild0(sibling, new_first);
        return;
      }
      std::memcpy(EntryPtr(n, cn), EntryPtr(parent, i), 12);
      SetRight(n, cn, Child0(sibling));
      std::memcpy(EntryPtr(n, cn + 1), EntryPtr(sibling, 0), cs * kEntrySize);
      SetCount(n, cn + 1 + cs);
      for (uint32_t j = cn; j <= cn + cs; ++j) {
        const uint32_t c = Right(n, j);
        if (c != kNoNode) SetParent(c, n);
      }
      RemoveSlot(parent, i);
      FreeNode(sibling);
      n = parent;
    } else {
      // The last child uses its left sibling; the separator is entry i - 1.
      const uint32_t sibling = Child(parent, i - 1);
      const uint32_t cn = Count(n);
      const uint32_t cs = Count(sibling);
      if (cs > 2) {
        std::memmove(EntryPtr(n, 1), EntryPtr(n, 0), cn * kEntrySize);
        std::memcpy(EntryPtr(n, 0), EntryPtr(parent, i - 1), 12);
        SetRight(n, 0, Child0(n));
        const uint32_t moved = Right(sibling, cs - 1);
        SetChild0(n, moved);
        if (moved != kNoNode) SetParent(moved, n);
        SetCount(n, cn + 1);
        std::memcpy(EntryPtr(parent, i - 1), EntryPtr(sibling, cs - 1), 12);  // right stays n
        std::memset(EntryPtr(sibling, cs - 1), 0xFF, kEntrySize);
        SetCount(sibling, cs - 1);
        return;
      }
      std::memcpy(EntryPtr(sibling, cs), EntryPtr(parent, i - 1), 12);
      SetRight(sibling, cs, Child0(n));
      std::memcpy(EntryPtr(sibling, cs + 1), EntryPtr(n, 0), cn * kEntrySize);
      SetCount(sibling, cs + 1 + cn);
      for (uint32_t j = cs; j <= cs + cn; ++j) {
        const uint32_t c = Right(sibling, j);
        if (c != kNoNode) SetParent(c, sibling);
      }
      RemoveSlot(parent, i - 1);
      FreeNode(n);
      n = parent;
    }
  }
}

Win32Error CCacheMap::Remove(uint8_t key_disc, uint32_t key_file, CacheMapEntry* removed) {
  if (!IsLoaded()) return ERROR_ACCESS_DENIED;
  WriteGuard g(lock_);
  uint32_t n, k;
  if (!Find(MakeKey(key_disc, key_file), &n, &k)) return ERROR_FILE_NOT_FOUND;
  if (removed) {
    const uint8_t* e = EntryPtr(n, k);
    *removed = {e[0], Load32(e + 4), e[1], Load32(e + 8), e[2] != 0};
  }
  RemoveAt(n, k);
  if (log_) log_({CacheMapChange::kRemove, key_disc, key_file, 0, 0});
  return ERROR_SUCCESS;
}

Win32Error CCacheMap::ReKey(uint8_t old_disc, uint32_t old_file, uint8_t new_disc, uint32_t new_file) {
  if (!IsLoaded()) return ERROR_ACCESS_DENIED;
  WriteGuard g(lock_);
  const uint64_t old_key = MakeKey(old_disc, old_file);
  const uint64_t new_key = MakeKey(new_disc, new_file);
  uint32_t n, k, n2, k2;
  if (!Find(old_key, &n, &k)) return ERROR_FILE_NOT_FOUND;
  // Checked before anything changes, so that the old entry is never lost.
  if (new_key != old_key && Find(new_key, &n2, &k2)) return ERROR_FILE_EXISTS;
  // The insert below must not fail once the old entry is gone.
  if (!ReserveForInsert()) return ERROR_NOT_ENOUGH_MEMORY;
  const uint8_t* e = EntryPtr(n, k);
  const uint8_t value_disc = e[1];
  const uint32_t value_file = Load32(e + 8);
  RemoveAt(n, k);
  const Win32Error result = InsertLocked(new_key, value_disc, value_file);
  if (result == ERROR_SUCCESS && log_) {
    log_({CacheMapChange::kReKey, old_disc, old_file, new_disc, new_file, value_disc, value_file});
  }
  return result;
}

void CCacheMap::Apply(const CacheMapChange& change) {
  if (!IsLoaded()) return;
  WriteGuard g(lock_);
  auto drop = [&](uint8_t disc, uint32_t file) {
    uint32_t n, k;
    if (Find(MakeKey(disc, file), &n, &k)) RemoveAt(n, k);
  };
  auto put = [&](uint8_t disc, uint32_t file, uint8_t value_disc, uint32_t value_file) {
    drop(disc, file);
    InsertLocked(MakeKey(disc, file), value_disc, value_file);
  };
  switch (change.op) {
    case CacheMapChange::kInsert:
      put(change.key_disc, change.key_file, change.disc, change.file);
      break;
    case CacheMapChange::kRemove:
      drop(change.key_disc, change.key_file);
      break;
    case CacheMapChange::kReKey:
      drop(change.key_disc, change.key_file);
      put(change.disc, change.file, change.value_disc, change.value_file);
      break;
    default:
      break;
  }
}

Win32Error CCacheMap::SetMark(uint8_t key_disc, uint32_t key_file, bool on) {
  if (!IsLoaded()) return ERROR_ACCESS_DENIED;
  ReadGuard g(lock_);
  uint32_t n, k;
  if (!Find(MakeKey(key_disc, key_file), &n, &k)) return ERROR_FILE_NOT_FOUND;
  uint8_t& mark = EntryPtr(n, k)[2];
  if ((mark != 0) == on) return ERROR_ALREADY_EXISTS;
  mark = on ? 1 : 0;
  return ERROR_SUCCESS;
}

Win32Error CCacheMap::GetMark(uint8_t key_disc, uint32_t key_file, bool* on) {
  if (!IsLoaded()) return ERROR_ACCESS_DENIED;
  ReadGuard g(lock_);
  uint32_t n, k;
  if (!Find(MakeKey(key_disc, key_file), &n, &k)) return ERROR_FILE_NOT_FOUND;
  *on = EntryPtr(n, k)[2] != 0;
  return ERROR_SUCCESS;
}

bool CCacheMap::FirstMarkedIn(uint32_t n, uint32_t depth, CacheMapEntry* out) const {
  if (n == kNoNode || depth > 64) return false;
  if (FirstMarkedIn(Child0(n), depth + 1, out)) return true;
  const uint32_t count = Count(n);
  for (uint32_t k = 0; k < count; ++k) {
    const uint8_t* e = EntryPtr(n, k);
    if (e[2] != 0) {
      *out = {e[0], Load32(e + 4), e[1], Load32(e + 8), true};
      return true;
    }
    if (FirstMarkedIn(Right(n, k), depth + 1, out)) return true;
  }
  return false;
}

bool CCacheMap::FirstMarked(CacheMapEntry* out) {
  if (!IsLoaded()) return false;
  ReadGuard g(lock_);
  return FirstMarkedIn(Root(), 0, out);
}

bool CCacheMap::IsEmpty() {
  if (!IsLoaded()) return true;
  ReadGuard g(lock_);
  return Count(Root()) == 0;
}

size_t CCacheMap::CountIn(uint32_t n, uint32_t depth) const {
  if (n == kNoNode || depth > 64) return 0;
  const uint32_t count = Count(n);
  size_t total = count + CountIn(Child0(n), depth + 1);
  for (uint32_t k = 0; k < count; ++k) total += CountIn(Right(n, k), depth + 1);
  return total;
}

size_t CCacheMap::Count() {
  if (!IsLoaded()) return 0;
  ReadGuard g(lock_);
  return CountIn(Root(), 0);
}

}  // namespace kelva::storage
