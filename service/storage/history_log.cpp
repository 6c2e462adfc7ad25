#include "service/storage/history_log.h"

#include <algorithm>
#include <memory>
#include <mutex>
#include <vector>

#include "platform/mailslot.h"
#include "platform/text.h"
#include "service/storage/disc_recorder.h"

namespace kelva::storage {
namespace {

constexpr uint32_t kCopyPiece = 4096;

bool StartsWithNoCase(std::u16string_view text, std::u16string_view prefix) {
  return text.size() >= prefix.size() && platform::CompareNoCase(text.substr(0, prefix.size()), prefix) == 0;
}

}  // namespace

CHistoryLog::CHistoryLog(volume::IFsVolume* volume) : volume_(volume) {}

CHistoryLog::~CHistoryLog() { Close(); }

Win32Error CHistoryLog::Start() {
  std::lock_guard lk(lock_);
  if (file_.IsOpen()) return platform::ERROR_INVALID_PARAMETER;
  const uint8_t disc = volume_->GetDiscEngine()->CurrentDisc();
  uint32_t number = volume_->NextFileNumber();
  std::filesystem::path path;
  if (const Win32Error e = volume_->CreateCacheFile(CK_LOG, disc, &number, this, &path); e != 0) return e;
  uint8_t link[kHistoryLinkSize];
  EncodeHistoryLink(HistoryLink{}, link);
  Win32Error e = platform::File::Open(path, platform::kAccessReadWrite, platform::Disposition::kOpenExisting, &file_);
  if (e == 0) e = file_.WriteAllAt(0, link, sizeof link);
  if (e != 0) {
    file_.Close();
    volume_->UnpinAndDeleteCacheFile(CK_LOG, disc, number, this);
    return e;
  }
  disc_ = disc;
  file_number_ = number;
  size_ = kHistoryLinkSize;
  state_ = kStateAppended;
  on_disc_ = false;
  return platform::ERROR_SUCCESS;
}

Win32Error CHistoryLog::OpenPinned(uint8_t disc, uint32_t file) {
  std::filesystem::path path;
  if (!volume_->GetCacheStore()->CacheFilePath(CK_LOG, disc, file, 0, &path)) return platform::ERROR_FILE_NOT_FOUND;
  platform::File f;
  Win32Error e = platform::File::Open(path, platform::kAccessReadWrite, platform::Disposition::kOpenExisting, &f);
  uint64_t size = 0;
  if (e == 0) e = f.Size(&size);
  if (e != 0) return e;
  if (size < kHistoryLinkSize) return platform::ERROR_INVALID_DATA;
  file_ = std::move(f);
  size_ = size;
  return platform::ERROR_SUCCESS;
}

Win32Error CHistoryLog::Open(uint8_t disc, uint32_t file) {
  std::lock_guard lk(lock_);
  if (file_.IsOpen()) return platform::ERROR_INVALID_PARAMETER;
  if (const Win32Error e = volume_->PinCacheFile(CK_LOG, disc, file, this, true); e != 0) return e;
  if (const Win32Error e = OpenPinned(disc, file); e != 0) {
    volume_->UnpinCacheFile(CK_LOG, disc, file, this, true);
    return e;
  }
  disc_ = disc;
  file_number_ = file;
  state_ = kStateClean;
  on_disc_ = true;
  return platform::ERROR_SUCCESS;
}

Win32Error CHistoryLog::AppendLocked(const std::string& record) {
  if (!file_.IsOpen()) return platform::ERROR_INVALID_HANDLE;
  if (record.empty()) return platform::ERROR_INVALID_PARAMETER;  // text too long for a record
  if (const Win32Error e = file_.WriteAllAt(size_, record.data(), static_cast<uint32_t>(record.size())); e != 0) {
    file_.Truncate(size_);  // no half record stays behind
    return e;
  }
  size_ += record.size();
  state_ = kStateAppended;
  return platform::ERROR_SUCCESS;
}

Win32Error CHistoryLog::AppendCreated(platform::FileTime time, uint8_t disc, uint32_t file, uint32_t value1,
                                      uint32_t value2, std::u16string_view path) {
  std::lock_guard lk(lock_);
  return AppendLocked(MakeCreatedRecord(time, disc, file, value1, value2, path));
}

Win32Error CHistoryLog::AppendUpdated(platform::FileTime time, uint8_t disc, uint32_t file, uint32_t value1,
                                      uint32_t value2) {
  std::lock_guard lk(lock_);
  return AppendLocked(MakeUpdatedRecord(time, disc, file, value1, value2));
}

Win32Error CHistoryLog::AppendRenamed(platform::FileTime time, std::u16string_view new_name) {
  std::lock_guard lk(lock_);
  return AppendLocked(MakeRenamedRecord(time, new_name));
}

Win32Error CHistoryLog::AppendMoved(platform::FileTime time, std::u16string_view new_path) {
  std::lock_guard lk(lock_);
  return AppendLocked(MakeMovedRecord(time, new_path));
}

Win32Error CHistoryLog::AppendDeleted(platform::FileTime time) {
  std::lock_guard lk(lock_);
  return AppendLocked(MakeDeletedRecord(time));
}

Win32Error CHistoryLog::Record(bool head_only, uint8_t* out_disc, uint32_t* out_file) {
  IDiscRecorder* engine = volume_->GetDiscEngine();
  for (;;) {
    Win32Error e = head_only ? engine->RecordLogHead(disc_, file_number_, on_disc_, out_disc, out_file)
                             : engine->RecordCacheFile(CK_LOG, disc_, file_number_, on_disc_, nullptr, out_disc,
                                                       out_file);
    if (e == platform::ERROR_DISK_FULL) {
      const uint8_t current = engine->CurrentDisc();
      if (current >= kHistoryNoDisc - 1 || !engine->ChangeDisc(static_cast<uint8_t>(current + 1))) return e;
      continue;
    }
    if (e != 0) return e;
    if (*out_disc != disc_ || *out_file != file_number_) {
      e = volume_->RenameCacheFile(CK_LOG, disc_, file_number_, *out_disc, *out_file, this);
      if (e != 0) return e;
      disc_ = *out_disc;
      file_number_ = *out_file;
    }
    on_disc_ = true;
    return platform::ERROR_SUCCESS;
  }
}

Win32Error CHistoryLog::SplitAfterHead() {
  const uint8_t disc = volume_->GetDiscEngine()->CurrentDisc();
  uint32_t number = volume_->NextFileNumber();
  std::filesystem::path path;
  if (const Win32Error e = volume_->CreateCacheFile(CK_LOG, disc, &number, this, &path); e != 0) return e;
  platform::File next;
  Win32Error e = platform::File::Open(path, platform::kAccessReadWrite, platform::Disposition::kOpenExisting, &next);
  uint8_t link[kHistoryLinkSize];
  EncodeHistoryLink(HistoryLink{disc_, file_number_}, link);
  if (e == 0) e = next.WriteAllAt(0, link, sizeof link);
  uint8_t piece[kCopyPiece];
  uint64_t from = kHistorySegmentLimit;
  uint64_t to = kHistoryLinkSize;
  while (e == 0 && from < size_) {
    const uint32_t n = static_cast<uint32_t>(std::min<uint64_t>(kCopyPiece, size_ - from));
    e = file_.ReadExactAt(from, piece, n);
    if (e == 0) e = next.WriteAllAt(to, piece, n);
    from += n;
    to += n;
  }
  if (e != 0) {
    next.Close();
    volume_->UnpinAndDeleteCacheFile(CK_LOG, disc, number, this);
    return e;
  }
  // The recorded head lives on the disc now; its cache copy goes.
  file_.Close();
  volume_->UnpinAndDeleteCacheFile(CK_LOG, disc_, file_number_, this);
  file_ = std::move(next);
  disc_ = disc;
  file_number_ = number;
  size_ = to;
  on_disc_ = false;
  state_ = kStateAppended;
  return platform::ERROR_SUCCESS;
}

Win32Error CHistoryLog::Seal(uint8_t* disc, uint32_t* file) {
  std::lock_guard lk(lock_);
  if (!file_.IsOpen()) return platform::ERROR_INVALID_HANDLE;
  while (state_ == kStateAppended || !on_disc_) {
    const bool split = size_ > kHistorySegmentLimit;
    uint8_t recorded_disc = 0;
    uint32_t recorded_file = 0;
    if (const Win32Error e = Record(split, &recorded_disc, &recorded_file); e != 0) return e;
    if (!split) {
      state_ = kStateSealed;
      break;
    }
    if (const Win32Error e = SplitAfterHead(); e != 0) return e;
  }
  *disc = disc_;
  *file = file_number_;
  return platform::ERROR_SUCCESS;
}

Win32Error CHistoryLog::ReadSegment(uint8_t disc, uint32_t file, std::string* bytes) {
  if (const Win32Error e = volume_->PinCacheFile(CK_LOG, disc, file, this, true); e != 0) return e;
  std::filesystem::path path;
  Win32Error e = volume_->GetCacheStore()->CacheFilePath(CK_LOG, disc, file, 0, &path)
                     ? platform::ERROR_SUCCESS
                     : platform::ERROR_FILE_NOT_FOUND;
  platform::File f;
  if (e == 0) e = platform::File::Open(path, platform::kAccessRead, platform::Disposition::kOpenExisting, &f);
  uint64_t size = 0;
  if (e == 0) e = f.Size(&size);
  if (e == 0) {
    // One byte more than a sealed segment may hold, so that an oversized one shows.
    bytes->resize(static_cast<size_t>(std::min<uint64_t>(size, kHistorySegmentLimit + 1)));
    e = f.ReadExactAt(0, bytes->data(), static_cast<uint32_t>(bytes->size()));
  }
  f.Close();
  volume_->UnpinCacheFile(CK_LOG, disc, file, this, true);
  return e;
}

Win32Error CHistoryLog::Export(std::u16string_view target, const ReplyHeaderSender& reply,
                               const std::filesystem::path& run_dir) {
  std::lock_guard lk(lock_);
  if (!file_.IsOpen()) return platform::ERROR_INVALID_HANDLE;
  std::string newest(static_cast<size_t>(size_), '\0');
  if (const Win32Error e = file_.ReadExactAt(0, newest.data(), static_cast<uint32_t>(size_)); e != 0) return e;
  std::vector<std::string> segments;
  const Win32Error chain = CollectHistoryChain(
      std::move(newest), [this](uint8_t d, uint32_t f, std::string* b) { return ReadSegment(d, f, b); },
      kMaxSegments, &segments);
  if (chain != 0) return chain;

  const std::string target8 = platform::Utf16ToUtf8(target);
  if (!StartsWithNoCase(target, kMailslotPrefix)) {
    platform::File out;
    Win32Error e = platform::File::Open(std::filesystem::path(target8), platform::kAccessWrite,
                                        platform::Disposition::kCreateAlways, &out);
    uint64_t at = 0;
    for (const std::string& s : segments) {
      if (e != 0) break;
      e = out.WriteAllAt(at, s.data(), static_cast<uint32_t>(s.size()));
      at += s.size();
    }
    return e;
  }

  // One message per segment; the newest segment, which may not have been split
  // yet, goes in as many messages as its length needs.
  std::vector<std::string_view> pieces;
  uint64_t total = 0;
  for (const std::string& s : segments) {
    std::string_view rest(s);
    do {
      pieces.push_back(rest.substr(0, kMaxMessageRecords));
      rest.remove_prefix(pieces.back().size());
    } while (!rest.empty());
    total += s.size();
  }
  std::unique_ptr<platform::MailslotClient> client;
  if (const Win32Error e = platform::MailslotClient::Open(target8, &client, run_dir); e != 0) return e;
  if (reply) {
    const Win32Error e = reply(static_cast<uint8_t>(pieces.size()), static_cast<uint32_t>(total));
    if (e != 0) return e;
  }
  std::string message;
  for (size_t i = 0; i < pieces.size(); ++i) {
    message.assign({'\xDF', '\0', static_cast<char>(i & 0xFF), static_cast<char>(pieces[i].size() & 0xFF),
                    static_cast<char>(pieces[i].size() >> 8)});
    message.append(pieces[i]);
    if (const Win32Error e = client->Write(message.data(), static_cast<uint32_t>(message.size())); e != 0) return e;
  }
  return platform::ERROR_SUCCESS;
}

void CHistoryLog::Close() {
  std::lock_guard lk(lock_);
  if (!file_.IsOpen()) return;
  file_.Close();
  volume_->UnpinCacheFile(CK_LOG, disc_, file_number_, this, true);
  size_ = 0;
  state_ = kStateClean;
}

}  // namespace kelva::storage
