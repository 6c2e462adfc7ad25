#include "service/volume/volume_journal.h"

#include <zlib.h>

#include <algorithm>
#include <map>
#include <string>

namespace kelva::volume {

namespace {

constexpr size_t kHeadBytes = 8;    // length, checksum
constexpr size_t kFixedBytes = 9;   // type, object number
constexpr uint32_t kMostBytes = 64u << 20;  // no record is near this long

void PutLe(std::vector<uint8_t>& out, uint64_t v, int bytes) {
  for (int i = 0; i < bytes; ++i) out.push_back(static_cast<uint8_t>(v >> (8 * i)));
}

uint64_t GetLe(const uint8_t* in, int bytes) {
  uint64_t v = 0;
  for (int i = bytes - 1; i >= 0; --i) v = (v << 8) | in[i];
  return v;
}

uint32_t Checksum(const uint8_t* data, size_t length) {
  return static_cast<uint32_t>(crc32(crc32(0L, Z_NULL, 0), data, static_cast<uInt>(length)));
}

}  // namespace

std::vector<uint8_t> CVolumeJournal::Frame(const JournalRecord& record) {
  std::vector<uint8_t> out;
  out.reserve(kHeadBytes + kFixedBytes + record.payload.size());
  PutLe(out, kFixedBytes + record.payload.size(), 4);
  PutLe(out, 0, 4);  // the checksum, below
  out.push_back(record.type);
  PutLe(out, record.object, 8);
  out.insert(out.end(), record.payload.begin(), record.payload.end());
  const uint32_t sum = Checksum(out.data() + kHeadBytes, out.size() - kHeadBytes);
  for (int i = 0; i < 4; ++i) out[4 + i] = static_cast<uint8_t>(sum >> (8 * i));
  return out;
}

bool CVolumeJournal::Start(const std::filesystem::path& path) {
  std::lock_guard lk(mu_);
  file_.Close();
  started_ = false;
  path_ = path;
  end_ = 0;
  // Appends go after the last whole record: what a kill cut short goes.
  for (const JournalRecord& r : Read(path)) end_ += Frame(r).size();
  std::error_code ec;
  if (std::filesystem::exists(path, ec)) std::filesystem::resize_file(path, end_, ec);
  if (ec || platform::File::Open(path, platform::kAccessReadWrite, platform::Disposition::kOpenAlways, &file_) != 0) {
    return false;
  }
  started_ = true;
  return true;
}

bool CVolumeJournal::Append(const JournalRecord& record) {
  const std::vector<uint8_t> frame = Frame(record);
  std::lock_guard lk(mu_);
  if (!started_) return false;
  // One write per record: a kill leaves whole frames and at most one cut one.
  if (file_.WriteAllAt(end_, frame.data(), static_cast<uint32_t>(frame.size())) != 0) return false;
  end_ += frame.size();
  return true;
}

bool CVolumeJournal::Rewrite(const std::function<bool(const JournalRecord&)>& keep,
                             const std::vector<JournalRecord>& records) {
  std::lock_guard lk(mu_);
  if (!started_) return false;
  std::vector<JournalRecord> all;
  for (JournalRecord& r : Read(path_)) {
    if (keep(r)) all.push_back(std::move(r));
  }
  all.insert(all.end(), records.begin(), records.end());
  return ReplaceLocked(all);
}

bool CVolumeJournal::Compact(int saved_map_kind) {
  std::lock_guard lk(mu_);
  if (!started_) return false;
  std::vector<JournalRecord> records = Read(path_);
  std::vector<JournalRecord> out;
  std::map<uint64_t, size_t> newest;  // object: its newest file record, while not gone
  size_t catalog = records.size();
  for (size_t i = 0; i < records.size(); ++i) {
    const JournalRecord& r = records[i];
    switch (r.type) {
      case JournalRecord::kCatalog: catalog = i; break;
      case JournalRecord::kFile: newest[r.object] = i; break;
      case JournalRecord::kGone: newest.erase(r.object); break;
      default: break;
    }
  }
  if (catalog < records.size()) out.push_back(std::move(records[catalog]));
  // The maps' changes keep their order: each is replayed over the one before.
  for (JournalRecord& r : records) {
    if (r.type != JournalRecord::kMap) continue;
    const bool saved = saved_map_kind >= 0 && !r.payload.empty() && r.payload[0] == saved_map_kind;
    if (!saved) out.push_back(std::move(r));
  }
  std::vector<size_t> files;
  for (const auto& [object, index] : newest) files.push_back(index);
  std::sort(files.begin(), files.end());
  for (size_t index : files) out.push_back(std::move(records[index]));
  return ReplaceLocked(out);
}

uint64_t CVolumeJournal::size() {
  std::lock_guard lk(mu_);
  return started_ ? end_ : 0;
}

bool CVolumeJournal::ReplaceLocked(const std::vector<JournalRecord>& records) {
  std::vector<uint8_t> all;
  for (const JournalRecord& r : records) {
    const std::vector<uint8_t> frame = Frame(r);
    all.insert(all.end(), frame.begin(), frame.end());
  }
  std::filesystem::path fresh = path_;
  fresh += ".new";
  platform::File f;
  if (platform::File::Open(fresh, platform::kAccessReadWrite, platform::Disposition::kCreateAlways, &f) != 0) {
    return false;
  }
  bool ok = all.empty() || f.WriteAllAt(0, all.data(), static_cast<uint32_t>(all.size())) == 0;
  f.Close();
  ok = ok && platform::MoveFile(fresh, path_, true) == 0;
  if (!ok) {
    platform::DeleteFile(fresh);
    return false;
  }
  file_.Close();
  if (platform::File::Open(path_, platform::kAccessReadWrite, platform::Disposition::kOpenExisting, &file_) != 0) {
    started_ = false;
    return false;
  }
  end_ = all.size();
  return true;
}

JournalRecord CVolumeJournal::MapRecord(uint8_t kind, const storage::CacheMapChange& change) {
  JournalRecord r;
  r.type = JournalRecord::kMap;
  r.payload = {kind, change.op, change.key_disc};
  PutLe(r.payload, change.key_file, 4);
  r.payload.push_back(change.disc);
  PutLe(r.payload, change.file, 4);
  r.payload.push_back(change.value_disc);
  PutLe(r.payload, change.value_file, 4);
  return r;
}

bool CVolumeJournal::ReadMapRecord(const JournalRecord& r, uint8_t* kind, storage::CacheMapChange* change) {
  if (r.type != JournalRecord::kMap || r.payload.size() != kMapBytes) return false;
  const uint8_t* p = r.payload.data();
  *kind = p[0];
  change->op = p[1];
  change->key_disc = p[2];
  change->key_file = static_cast<uint32_t>(GetLe(p + 3, 4));
  change->disc = p[7];
  change->file = static_cast<uint32_t>(GetLe(p + 8, 4));
  change->value_disc = p[12];
  change->value_file = static_cast<uint32_t>(GetLe(p + 13, 4));
  return true;
}

bool CVolumeJournal::Sync() {
  std::lock_guard lk(mu_);
  return started_ && file_.Flush() == 0;
}

void CVolumeJournal::Stop(bool remove) {
  std::lock_guard lk(mu_);
  file_.Close();
  if (started_ && remove) platform::DeleteFile(path_);
  started_ = false;
}

bool CVolumeJournal::started() {
  std::lock_guard lk(mu_);
  return started_;
}

std::vector<JournalRecord> CVolumeJournal::Read(const std::filesystem::path& path) {
  std::vector<JournalRecord> out;
  std::string bytes;
  if (platform::ReadWholeFile(path, &bytes) != 0) return out;
  const auto* data = reinterpret_cast<const uint8_t*>(bytes.data());
  size_t at = 0;
  while (bytes.size() - at >= kHeadBytes + kFixedBytes) {
    const uint64_t length = GetLe(data + at, 4);
    if (length < kFixedBytes || length > kMostBytes || bytes.size() - at - kHeadBytes < length) break;
    if (Checksum(data + at + kHeadBytes, length) != GetLe(data + at + 4, 4)) break;
    JournalRecord r;
    r.type = data[at + kHeadBytes];
    r.object = GetLe(data + at + kHeadBytes + 1, 8);
    r.payload.assign(data + at + kHeadBytes + kFixedBytes, data + at + kHeadBytes + length);
    out.push_back(std::move(r));
    at += kHeadBytes + length;
  }
  return out;
}

}  // namespace kelva::volume
