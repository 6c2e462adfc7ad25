#include "service/storage/disc_engine.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <vector>

#include "platform/eventlog.h"
#include "platform/log.h"
#include "platform/thread_priority.h"
#include "service/unit/unit_controller.h"

namespace kelva::storage {

namespace pe = platform;
using pe::Win32Error;
using unit::kMagazineRecordable;

namespace {

constexpr uint32_t kDiscSector = 2048;
constexpr uint8_t kNamingDisc = 255;  // disc 255: the pack, or an error name

bool PassedBack(Win32Error e) {
  return e == pe::ERROR_INVALID_HANDLE || e == pe::ERROR_NOT_READY || e == 34 || e == pe::ERROR_DISK_FULL ||
         e == unit::kErrorClosing || e == pe::ERROR_RETRY;
}

std::u16string Widen(std::string_view s) {
  std::u16string out;
  out.reserve(s.size());
  for (char c : s) out.push_back(c == '/' ? u'\\' : static_cast<char16_t>(static_cast<unsigned char>(c)));
  return out;
}

std::u16string Format(const char* format, uint32_t a, uint32_t b, std::string_view ext = {}) {
  char buffer[64];
  std::snprintf(buffer, sizeof buffer, format, a, b);
  return Widen(std::string(buffer) + std::string(ext));
}

// The block folder "%03X\%03X" of file number f.
std::u16string BlockFolder(uint32_t f) { return Format("%03X\\%03X", (f >> 20) & 0x3FF, (f >> 10) & 0x3FF); }

}  // namespace

uint32_t DiscTimeoutStatus(DiscOperation op) {
  switch (op) {
    case DiscOperation::kOpen: return 0xC0000065;
    case DiscOperation::kCreate: return 0xC0000064;
    case DiscOperation::kClose: return 0xC0000066;
    case DiscOperation::kCloseSession: return 0xC0000067;
    case DiscOperation::kSynchronize: return 0xC0000068;
  }
  return 0xC0000065;
}

std::string_view DiscTimeoutText(uint32_t status) {
  switch (status) {
    case 0xC0000064: return "Backing file system driver stopped responding during create file request\r\n";
    case 0xC0000065: return "Backing file system driver stopped responding during open file request\r\n";
    case 0xC0000066: return "Backing file system driver stopped responding during close file request\r\n";
    case 0xC0000067: return "Backing file system driver stopped responding during flush volume request\r\n";
    case 0xC0000068: return "Backing file system driver stopped responding during dismount volume request\r\n";
    default: return {};
  }
}

// One request, on its submitter's stack until the worker completes it.
struct CDiscEngine::Request {
  Request(DiscRequestType t, pe::Clock& clock) : type(t), done(false, false, clock) {}
  DiscRequestType type;
  Win32Error result = pe::ERROR_SUCCESS;
  pe::Event done;
  CacheKind kind = CK_DAT;
  uint8_t disc = 0;
  uint32_t file = 0;
  bool flag = false;  // create (5), for writing (6)
  std::filesystem::path path;
  uint64_t offset = 0;
  void* buffer = nullptr;
  const void* data = nullptr;
  uint32_t count = 0;
  uint32_t* count_done = nullptr;
  const RecordSource* source = nullptr;
  RecordAnswer* answer = nullptr;
  DiscFileInfo* info = nullptr;
  const std::function<void(uint32_t)>* found = nullptr;
  pe::File* stream = nullptr;
  uint64_t* bytes = nullptr;
};

// Brackets one unit command for the watchdog.
class CDiscEngine::CommandScope {
 public:
  CommandScope(CDiscEngine* e, DiscOperation op) : e_(e) { e_->CommandStart(op); }
  ~CommandScope() { e_->CommandFinish(); }
  CommandScope(const CommandScope&) = delete;
  CommandScope& operator=(const CommandScope&) = delete;

 private:
  CDiscEngine* e_;
};

CDiscEngine::CDiscEngine(IDiscEngineHost* host, CCacheStore* cache, unit::UnitController* unit,
                         DiscEngineOptions options)
    : host_(host),
      cache_(cache),
      unit_(unit),
      options_(std::move(options)),
      clock_(options_.clock != nullptr ? *options_.clock : unit->clock()),
      highest_disc_(options_.highest_disc),
      work_(false, false, clock_),
      idle_(false, false, clock_),
      start_sem_(0, 1000, clock_),
      finish_sem_(0, 1000, clock_) {
  if (!options_.event_log) {
    options_.event_log = [](uint32_t status, std::string_view text) {
      pe::ReportEvent(pe::EventType::kError, status, text);
    };
  }
}

CDiscEngine::~CDiscEngine() { Shutdown(); }

// ---- lifetime ----

Win32Error CDiscEngine::Start(uint8_t current_disc) {
  if (started_) return pe::ERROR_ALREADY_EXISTS;
  started_ = true;
  current_disc_ = current_disc;
  loaded_disc_ = unit_->CurrentSlot();
  clean_ = unit_->Exists(u"CLEAN");  // a cleanly closed magazine needs no preparation
  ReadDiscState();
  worker_ = std::thread([this] { WorkerLoop(); });
  watchdog_ = std::thread([this] { WatchdogLoop(); });
  KLOG_INFO("disc engine started: current disc %u%s", current_disc, clean_ ? ", prepared" : "");
  return pe::ERROR_SUCCESS;
}

void CDiscEngine::Shutdown() {
  if (!started_) return;
  started_ = false;
  if (worker_.joinable()) {
    // Queued directly: after a failure Submit would answer 31 without queueing.
    Request r(DiscRequestType::kShutdown, clock_);
    {
      std::lock_guard lock(queue_mu_);
      queue_.push_back(&r);
    }
    work_.Set();
    worker_.join();
  }
  stop_ = true;
  start_sem_.Release();
  if (watchdog_.joinable()) watchdog_.join();
}

// ---- the I/O lock ----

void CDiscEngine::LockIo() {
  io_lock_.Enter();
  if (io_depth_++ == 0) io_owner_ = std::this_thread::get_id();
}

bool CDiscEngine::TryLockIo() {
  for (int attempt = 0; attempt < 5; ++attempt) {
    if (attempt > 0) clock_.Sleep(100);
    if (io_lock_.TryEnter()) {
      if (io_depth_++ == 0) io_owner_ = std::this_thread::get_id();
      return true;
    }
  }
  return false;
}

void CDiscEngine::UnlockIo() {
  if (--io_depth_ == 0) io_owner_ = std::thread::id();
  io_lock_.Leave();
}

bool CDiscEngine::OwnsIo() const { return io_owner_.load() == std::this_thread::get_id(); }

// ---- the queue and the worker ----

Win32Error CDiscEngine::Submit(Request& r) {
  if (failed_ || !started_) return failed_ ? pe::ERROR_GEN_FAILURE : pe::ERROR_NOT_READY;
  const bool lock = !OwnsIo();
  if (lock) LockIo();
  {
    std::lock_guard guard(queue_mu_);
    queue_.push_back(&r);
  }
  work_.Set();
  r.done.Wait();
  if (lock) UnlockIo();
  return r.result;
}

void CDiscEngine::WorkerLoop() {
  // Every disc operation of the volume waits for this thread.
  if (!pe::RaiseThreadPriority()) KLOG_DEBUG("disc engine: the worker keeps its normal priority");
  for (;;) {
    work_.Wait();
    for (;;) {
      Request* r = nullptr;
      {
        std::lock_guard lock(queue_mu_);
        if (queue_.empty()) break;
        r = queue_.front();
        queue_.pop_front();
        current_ = r;
      }
      if (r->type == DiscRequestType::kShutdown) {
        CloseInProgress();
        {
          std::lock_guard lock(queue_mu_);
          current_ = nullptr;
        }
        FailPending();
        idle_.Set();
        return;
      }
      if (failed_) {
        r->result = pe::ERROR_GEN_FAILURE;
      } else {
        Run(*r);
        // The unit asks for a retry: close the disc and run the request again;
        // its submitter sees only the second answer.
        if (!failed_ && r->result == pe::ERROR_RETRY) {
          DoCloseDisc();
          Run(*r);
        }
        if (failed_) r->result = pe::ERROR_GEN_FAILURE;
      }
      {
        std::lock_guard lock(queue_mu_);
        current_ = nullptr;
      }
      r->done.Set();
    }
    idle_.Set();
  }
}

void CDiscEngine::Run(Request& r) {
  Win32Error e = pe::ERROR_SUCCESS;
  switch (r.type) {
    case DiscRequestType::kShutdown: break;
    case DiscRequestType::kCloseDataFile: CloseInProgress(); break;
    case DiscRequestType::kFetchFile: e = DoFetch(r); break;
    case DiscRequestType::kRecordCacheFile:
      e = r.stream != nullptr ? DoRecordStream(r) : DoRecord(r, UINT64_MAX);
      break;
    case DiscRequestType::kRecordLogHead: e = DoRecord(r, kLogHeadBytes); break;
    case DiscRequestType::kBeginDataFile: e = DoBegin(r); break;
    case DiscRequestType::kOpenDiscFile: e = DoOpen(r); break;
    case DiscRequestType::kReadData: e = DoRead(r); break;
    case DiscRequestType::kWriteData: e = DoWrite(r); break;
    case DiscRequestType::kSetDataLength: e = DoSetLength(r); break;
    case DiscRequestType::kCloseDisc: e = DoCloseDisc(); break;
    case DiscRequestType::kPrepareDisc: e = DoPrepare(); break;
    case DiscRequestType::kRefreshDiscState: e = DoRefresh(); break;
    case DiscRequestType::kLookupDiscFile: e = DoLookup(r); break;
    case DiscRequestType::kChangeDisc: e = DoChange(r); break;
    case DiscRequestType::kListDisc: e = DoList(r); break;
  }
  r.result = e;
}

// Fails every queued request with 31 (the engine failed or stops).
void CDiscEngine::FailPending() {
  std::deque<Request*> pending;
  {
    std::lock_guard lock(queue_mu_);
    pending.swap(queue_);
  }
  for (Request* r : pending) {
    r->result = pe::ERROR_GEN_FAILURE;
    r->done.Set();
  }
  idle_.Set();
}

// ---- the watchdog ----

void CDiscEngine::CommandStart(DiscOperation op) {
  ring_[ring_put_.fetch_add(1) % 8] = static_cast<uint8_t>(op);
  start_sem_.Release();
}

void CDiscEngine::CommandFinish() { finish_sem_.Release(); }

void CDiscEngine::WatchdogLoop() {
  for (;;) {
    start_sem_.Wait();
    if (stop_) return;
    const auto op = static_cast<DiscOperation>(ring_[ring_take_++ % 8]);
    const bool closing = op == DiscOperation::kCloseSession || op == DiscOperation::kSynchronize;
    const uint32_t limit = closing ? options_.close_limit_ms : options_.command_limit_ms;
    bool finished = false;
    for (uint32_t waited = 0; waited < limit && !finished;) {
      const uint32_t slice = std::min(options_.slice_ms, limit - waited);
      finished = finish_sem_.Wait(slice);
      if (finished) break;
      waited += slice;
      if (stop_) return;
      unit_->SendUserMessage(kBusyNotice, false);  // the unit is still busy
    }
    if (finished) continue;
    // The command outlived its limit: the engine no longer works. The request
    // that issued it fails with 31 once the command returns (its buffers stay
    // in use until then); every queued and later request fails at once.
    failed_ = true;
    const uint32_t status = DiscTimeoutStatus(op);
    KLOG_ERROR("disc engine: a unit command did not finish within %u ms; the engine stops working", limit);
    options_.event_log(status, DiscTimeoutText(status));
    if (host_ != nullptr) host_->EngineFailed(status);
    FailPending();
    return;
  }
}

// ---- names ----

std::u16string CDiscEngine::DiscFileName(CacheKind kind, uint8_t disc, uint32_t file) {
  if (disc == kNamingDisc && kind != CK_DB) return kind == CK_DIR ? u"STRUCT\\DIRPACK.BIN" : u"ERROR";
  return Widen(CCacheStore::CacheFileName(kind, disc, file, 0));
}

bool CDiscEngine::Recordable() const { return unit_->MagazineTypeCode() == kMagazineRecordable; }

// ---- state ----

uint8_t CDiscEngine::CurrentDisc() {
  std::lock_guard lock(queue_mu_);
  return queued_changes_ > 0 ? std::max(queued_change_to_, current_disc_.load()) : current_disc_.load();
}

void CDiscEngine::SetCurrentDisc(uint8_t disc) { current_disc_ = disc; }

DiscState CDiscEngine::State() {
  std::lock_guard lock(state_mu_);
  return state_;
}

void CDiscEngine::MarkDiscUnusable() { unusable_ = true; }

size_t CDiscEngine::SlowBlockCount() {
  std::lock_guard lock(slow_mu_);
  return slow_.size();
}

void CDiscEngine::ReadDiscState() {
  DiscState s;
  {
    CommandScope c(this, DiscOperation::kOpen);
    s.known = unit_->GetSpace(&s.total_bytes, &s.free_bytes) == 1;
  }
  std::lock_guard lock(state_mu_);
  state_ = s;
}

void CDiscEngine::CheckResources() {
  uint32_t counters[3] = {};
  {
    CommandScope c(this, DiscOperation::kOpen);
    if (unit_->GetResources(counters) != 1) return;  // unreadable: nothing is marked
  }
  const uint32_t map_entries = counters[1], updates = counters[2];
  if (map_entries < 64 || updates < 200) no_further_disc_ = true;
  if (map_entries < 128 || updates < 400) {
    nearly_exhausted_ = true;
    if (current_disc_ == highest_disc_ && host_ != nullptr) host_->ReportWriteFailure(kWriteFailureRefused);
  }
}

Win32Error CDiscEngine::CheckWritable() {
  if (unusable_) return pe::ERROR_WRITE_PROTECT;
  {
    CommandScope c(this, DiscOperation::kOpen);
    if (unit_->IsWritable() != 1) return pe::ERROR_WRITE_PROTECT;
  }
  if (no_further_disc_) return pe::ERROR_DISK_FULL;
  return pe::ERROR_SUCCESS;
}

Win32Error CDiscEngine::PassBackWriteError(Win32Error e) {
  if (e != pe::ERROR_SUCCESS && !PassedBack(e)) unusable_ = true;
  return e;
}

// ---- worker helpers ----

Win32Error CDiscEngine::LoadDisc(uint8_t disc) {
  if (loaded_disc_ == disc && unit_->CurrentSlot() == disc) return pe::ERROR_SUCCESS;
  CloseInProgress();
  std::lock_guard lock(unit_->OperationLock());
  CommandScope c(this, DiscOperation::kOpen);
  const uint32_t e = unit_->LoadDisc(disc);
  if (e != 0) return e;
  loaded_disc_ = disc;
  return pe::ERROR_SUCCESS;
}

void CDiscEngine::CloseInProgress() {
  if (in_progress_ == nullptr) return;
  CommandScope c(this, DiscOperation::kClose);
  unit_->Close(&in_progress_);
  in_progress_.reset();
}

Win32Error CDiscEngine::OpenTimed(const std::u16string& name, bool for_writing,
                                  std::unique_ptr<unit::VolumeFile>* out, CacheKind kind, uint8_t disc,
                                  uint32_t file) {
  const uint64_t start = clock_.NowMs();
  Win32Error e;
  {
    CommandScope c(this, DiscOperation::kOpen);
    e = unit_->OpenExisting(name, for_writing, false, out);
  }
  if (e == pe::ERROR_SUCCESS && clock_.NowMs() - start >= kSlowOpenMs) {
    const uint32_t base = file & ~(kBlockNumbers - 1);
    std::lock_guard lock(slow_mu_);
    const bool known = std::any_of(slow_.begin(), slow_.end(), [&](const SlowBlock& b) {
      return b.disc == disc && b.kind == kind && b.base == base;
    });
    if (!known) slow_.push_back({disc, kind, base, 0});
  }
  return e;
}

Win32Error CDiscEngine::EnumerateBlock(uint32_t file, const std::u16string& pattern,
                                       const std::function<void(const std::u16string&)>& found) {
  struct Context {
    const std::function<void(const std::u16string&)>* found;
  } context{&found};
  CommandScope c(this, DiscOperation::kOpen);
  const bool started = unit_->Enumerate(
      BlockFolder(file), pattern,
      [](const std::u16string& name, uint32_t attributes, void* ctx) -> int {
        if ((attributes & unit::kAttrDirectory) == 0) (*static_cast<Context*>(ctx)->found)(name);
        return 1;
      },
      &context);
  return started ? pe::ERROR_SUCCESS : pe::ERROR_FILE_NOT_FOUND;
}

void CDiscEngine::LookAhead(CacheKind kind, uint8_t disc, uint32_t file) {
  const uint32_t base = file & ~(kBlockNumbers - 1);
  {
    std::lock_guard lock(slow_mu_);
    auto it = std::find_if(slow_.begin(), slow_.end(), [&](const SlowBlock& b) {
      return b.disc == disc && b.kind == kind && b.base == base;
    });
    if (it == slow_.end() || ++it->fetches != 2) return;
  }
  // The listing loads the block's directory into the unit's caches; the names
  // themselves are not kept.
  char pattern[32];
  const uint32_t digits = (file >> 8) & 0xFFFFF;
  std::snprintf(pattern, sizeof pattern, ((file >> 4) & 0xF) == 0xF ? "??%05XF?" : "??%05X??", digits);
  const Win32Error e =
      EnumerateBlock(file, Widen(std::string(pattern) + std::string(CCacheStore::Extension(kind))),
                     [](const std::u16string&) {});
  if (e == pe::ERROR_SUCCESS) {
    std::lock_guard lock(slow_mu_);
    slow_.erase(std::remove_if(slow_.begin(), slow_.end(),
                               [&](const SlowBlock& b) {
                                 return b.disc == disc && b.kind == kind && b.base == base;
                               }),
                slow_.end());
  }
}

// Records source onto target through a 64 KiB buffer: full blocks at once, the
// rest padded with zeros to whole sectors and the length set back.
Win32Error CDiscEngine::CopyOntoDisc(pe::File& source, unit::VolumeFile* target, uint64_t limit,
                                     uint64_t* bytes) {
  std::vector<uint8_t> buffer(kCopyBlock);
  *bytes = 0;
  for (;;) {
    uint32_t filled = 0;
    while (filled < kCopyBlock && *bytes + filled < limit) {
      const uint32_t want = static_cast<uint32_t>(std::min<uint64_t>(kCopyBlock - filled, limit - *bytes - filled));
      uint32_t got = 0;
      if (const Win32Error e = source.Read(buffer.data() + filled, want, &got)) return e;
      if (got == 0) break;
      filled += got;
    }
    if (filled == kCopyBlock) {
      uint32_t done = 0;
      CommandScope c(this, DiscOperation::kCreate);
      if (const Win32Error e = unit_->Write(target, buffer.data(), kCopyBlock, &done)) return PassBackWriteError(e);
      if (done != kCopyBlock) return pe::ERROR_WRITE_FAULT;
      *bytes += kCopyBlock;
      continue;
    }
    if (filled == 0) return pe::ERROR_SUCCESS;
    const uint32_t padded = (filled + kDiscSector - 1) / kDiscSector * kDiscSector;
    std::memset(buffer.data() + filled, 0, padded - filled);
    CommandScope c(this, DiscOperation::kCreate);
    uint32_t done = 0;
    if (const Win32Error e = unit_->Write(target, buffer.data(), padded, &done)) return PassBackWriteError(e);
    if (done != padded) return pe::ERROR_WRITE_FAULT;
    *bytes += filled;
    if (padded != filled) {
      if (const Win32Error e = unit_->SetEndOfFile(target, *bytes)) return PassBackWriteError(e);
    }
    return pe::ERROR_SUCCESS;
  }
}

// ---- the request types ----

Win32Error CDiscEngine::DoFetch(Request& r) {
  if (const Win32Error e = LoadDisc(r.disc)) return e;
  if (r.kind != CK_DB) LookAhead(r.kind, r.disc, r.file);
  std::unique_ptr<unit::VolumeFile> source;
  if (const Win32Error e = OpenTimed(DiscFileName(r.kind, r.disc, r.file), false, &source, r.kind, r.disc, r.file))
    return e;
  pe::File target;
  uint32_t number = r.file;
  Win32Error e = r.path.empty()
                     ? cache_->CreateCacheFile(r.kind, r.disc, &number, 0, &target, true)
                     : pe::File::Open(r.path, pe::kAccessReadWrite, pe::Disposition::kCreateAlways, &target);
  if (e == pe::ERROR_SUCCESS) {
    std::vector<uint8_t> buffer(kCopyBlock);
    for (;;) {
      uint32_t got = 0;
      {
        CommandScope c(this, DiscOperation::kOpen);
        e = unit_->Read(source.get(), buffer.data(), kCopyBlock, &got);
      }
      if (e != pe::ERROR_SUCCESS || got == 0) break;
      uint32_t written = 0;
      e = target.Write(buffer.data(), got, &written);
      if (e == pe::ERROR_SUCCESS && written != got) e = pe::ERROR_WRITE_FAULT;
      if (e != pe::ERROR_SUCCESS) break;
    }
    target.Close();
    if (e != pe::ERROR_SUCCESS) {  // no partial copy stays behind
      if (r.path.empty()) cache_->DeleteCacheFile(r.kind, r.disc, number, 0);
      else pe::DeleteFile(r.path);
    }
  }
  CommandScope c(this, DiscOperation::kClose);
  unit_->Close(&source);
  return e;
}

Win32Error CDiscEngine::DoRecord(Request& r, uint64_t limit) {
  const RecordSource& src = *r.source;
  const uint8_t disc = current_disc_;
  r.answer->disc = disc;
  r.answer->bytes = 0;
  if (const Win32Error e = CheckWritable()) return e;
  CloseInProgress();
  if (const Win32Error e = LoadDisc(disc)) return e;
  if (!clean_) {
    if (const Win32Error e = DoPrepare()) return e;
  }
  pe::File source;
  Win32Error e = src.path.empty() ? cache_->OpenCacheFile(src.kind, src.disc, src.file, 0, &source)
                                  : pe::File::Open(src.path, pe::kAccessRead, pe::Disposition::kOpenExisting, &source);
  if (e != pe::ERROR_SUCCESS) return e;

  // The number on the disc: a catalog already on the discs is never
  // overwritten, and a file from an earlier disc gets a number of its own.
  auto next = [&](uint32_t n) { return src.kind == CK_DB ? n + 1 : host_->NextFileNumber(src.kind, disc); };
  uint32_t number = src.wanted;
  if (src.existing_catalog || (src.kind != CK_DB && src.disc < disc)) number = next(number);
  std::unique_ptr<unit::VolumeFile> target;
  for (uint32_t attempt = 0;; ++attempt) {
    {
      CommandScope c(this, DiscOperation::kCreate);
      e = unit_->CreateNew(DiscFileName(src.kind, disc, number), true, false, &target);
    }
    if (e != pe::ERROR_FILE_EXISTS || attempt + 1 >= kRecordRetries) break;
    number = next(number);
  }
  if (e != pe::ERROR_SUCCESS) return e;
  r.answer->file = number;
  written_ = true;
  e = CopyOntoDisc(source, target.get(), limit, &r.answer->bytes);
  CommandScope c(this, DiscOperation::kClose);
  const Win32Error closed = unit_->Close(&target);
  return e != pe::ERROR_SUCCESS ? e : PassBackWriteError(closed);
}

Win32Error CDiscEngine::DoRecordStream(Request& r) {
  *r.bytes = 0;
  if (const Win32Error e = CheckWritable()) return e;
  CloseInProgress();
  const uint8_t disc = current_disc_;
  if (const Win32Error e = LoadDisc(disc)) return e;
  if (!clean_) {
    if (const Win32Error e = DoPrepare()) return e;
  }
  std::unique_ptr<unit::VolumeFile> target;
  {
    CommandScope c(this, DiscOperation::kCreate);
    if (const Win32Error e = unit_->CreateNew(DiscFileName(r.kind, disc, r.file), true, false, &target)) return e;
  }
  written_ = true;
  const Win32Error e = CopyOntoDisc(*r.stream, target.get(), UINT64_MAX, r.bytes);
  CommandScope c(this, DiscOperation::kClose);
  const Win32Error closed = unit_->Close(&target);
  return e != pe::ERROR_SUCCESS ? e : PassBackWriteError(closed);
}

Win32Error CDiscEngine::DoBegin(Request& r) {
  if (const Win32Error e = CheckWritable()) return e;
  CloseInProgress();
  const uint8_t disc = current_disc_;
  if (const Win32Error e = LoadDisc(disc)) return e;
  if (!clean_) {
    if (const Win32Error e = DoPrepare()) return e;
  }
  const std::u16string name = DiscFileName(r.kind, r.disc, r.file);
  Win32Error e;
  {
    CommandScope c(this, r.flag ? DiscOperation::kCreate : DiscOperation::kOpen);
    e = r.flag ? unit_->CreateNew(name, true, false, &in_progress_)
               : unit_->OpenExisting(name, true, false, &in_progress_);
  }
  if (e != pe::ERROR_SUCCESS) {
    in_progress_.reset();
    return e;
  }
  // A file opened again is appended to: the unit opens it at offset 0, so the
  // position is moved to its end before anything is written.
  if (!r.flag) {
    CommandScope c(this, DiscOperation::kOpen);
    uint64_t end = 0;
    if (!unit_->GetInfo(name, nullptr, nullptr, nullptr, nullptr, &end)) {
      e = pe::ERROR_FILE_NOT_FOUND;
    } else {
      e = unit_->Seek(in_progress_.get(), end);
    }
    if (e != pe::ERROR_SUCCESS) {
      CloseInProgress();
      return e;
    }
  }
  written_ = true;
  ip_kind_ = r.kind;
  ip_disc_ = r.disc;
  ip_file_ = r.file;
  ip_write_ = true;
  ip_position_ = 0;
  return pe::ERROR_SUCCESS;
}

Win32Error CDiscEngine::DoOpen(Request& r) {
  const uint8_t disc = r.disc == kNamingDisc ? current_disc_.load() : r.disc;
  if (const Win32Error e = LoadDisc(disc)) return e;
  if (r.kind != CK_DB) LookAhead(r.kind, disc, r.file);
  CloseInProgress();
  const Win32Error e = OpenTimed(DiscFileName(r.kind, r.disc, r.file), r.flag, &in_progress_, r.kind, disc, r.file);
  if (e != pe::ERROR_SUCCESS) {
    in_progress_.reset();
    return e;
  }
  ip_kind_ = r.kind;
  ip_disc_ = r.disc;
  ip_file_ = r.file;
  ip_write_ = r.flag;
  ip_position_ = 0;
  return pe::ERROR_SUCCESS;
}

Win32Error CDiscEngine::DoRead(Request& r) {
  *r.count_done = 0;
  const uint8_t disc = r.disc == kNamingDisc ? current_disc_.load() : r.disc;
  if (const Win32Error e = LoadDisc(disc)) return e;
  const bool same = in_progress_ != nullptr && ip_kind_ == r.kind && ip_disc_ == r.disc && ip_file_ == r.file &&
                    !ip_write_;
  if (!same) {
    r.flag = false;  // read access
    if (const Win32Error e = DoOpen(r)) return e;
  }
  if (ip_position_ != r.offset) {
    CommandScope c(this, DiscOperation::kOpen);
    if (const Win32Error e = unit_->Seek(in_progress_.get(), r.offset)) {
      CloseInProgress();
      return e;
    }
    ip_position_ = r.offset;
  }
  CommandScope c(this, DiscOperation::kOpen);
  if (const Win32Error e = unit_->Read(in_progress_.get(), r.buffer, r.count, r.count_done)) {
    *r.count_done = 0;
    CloseInProgress();
    return e;
  }
  ip_position_ += *r.count_done;
  return pe::ERROR_SUCCESS;
}

Win32Error CDiscEngine::DoWrite(Request& r) {
  *r.count_done = 0;
  if (in_progress_ == nullptr || !ip_write_) return pe::ERROR_INVALID_HANDLE;
  CommandScope c(this, DiscOperation::kCreate);
  if (const Win32Error e = unit_->Write(in_progress_.get(), r.data, r.count, r.count_done))
    return PassBackWriteError(e);
  ip_position_ += *r.count_done;
  return *r.count_done == r.count ? pe::ERROR_SUCCESS : pe::ERROR_WRITE_FAULT;
}

Win32Error CDiscEngine::DoSetLength(Request& r) {
  if (in_progress_ == nullptr || !ip_write_) return pe::ERROR_INVALID_HANDLE;
  CommandScope c(this, DiscOperation::kCreate);
  if (const Win32Error e = PassBackWriteError(unit_->SetEndOfFile(in_progress_.get(), r.offset))) return e;
  // The next write goes on at the new end: the unit leaves the position where
  // it was, which after a cut lies past the end and after a growth inside it.
  return PassBackWriteError(unit_->Seek(in_progress_.get(), r.offset));
}

Win32Error CDiscEngine::DoCloseDisc() {
  if (loaded_disc_ != current_disc_ || !written_) return pe::ERROR_SUCCESS;
  CloseInProgress();
  Win32Error session = pe::ERROR_SUCCESS;
  if (Recordable()) {
    CommandScope c(this, DiscOperation::kCloseSession);
    session = unit_->FlushVolume();
  }
  Win32Error sync;
  {
    CommandScope c(this, DiscOperation::kSynchronize);
    sync = unit_->DismountVolume();
  }
  ReadDiscState();
  if (session != pe::ERROR_SUCCESS) return session;
  if (sync != pe::ERROR_SUCCESS) return sync;
  written_ = false;
  CheckResources();
  if (host_ != nullptr) host_->CommitAfterDiscClose();
  return pe::ERROR_SUCCESS;
}

Win32Error CDiscEngine::DoPrepare() {
  if (clean_) return pe::ERROR_SUCCESS;
  CloseInProgress();
  if (const Win32Error e = LoadDisc(current_disc_)) return e;
  CommandScope c(this, DiscOperation::kOpen);
  if (unit_->PrepareForWrite() != 1) return pe::ERROR_ACCESS_DENIED;
  clean_ = true;
  return pe::ERROR_SUCCESS;
}

Win32Error CDiscEngine::DoRefresh() {
  if (loaded_disc_ != current_disc_) return pe::ERROR_SUCCESS;
  ReadDiscState();
  CheckResources();
  return pe::ERROR_SUCCESS;
}

Win32Error CDiscEngine::DoLookup(Request& r) {
  if (const Win32Error e = LoadDisc(r.disc)) return e;
  DiscFileInfo info;
  CommandScope c(this, DiscOperation::kOpen);
  if (!unit_->GetInfo(DiscFileName(r.kind, r.disc, r.file), &info.attributes, &info.creation, &info.last_access,
                      &info.last_write, &info.size)) {
    return pe::ERROR_ACCESS_DENIED;
  }
  *r.info = info;
  return pe::ERROR_SUCCESS;
}

Win32Error CDiscEngine::DoChange(Request& r) {
  CloseInProgress();
  const Win32Error e = LoadDisc(r.disc);
  if (e != pe::ERROR_SUCCESS) {
    current_disc_ = static_cast<uint8_t>(r.disc - 1);
    {
      std::lock_guard lock(state_mu_);
      state_ = DiscState{};
    }
    no_further_disc_ = true;
    return e;
  }
  current_disc_ = r.disc;
  written_ = false;
  unusable_ = false;
  clean_ = false;  // the new disc is prepared before its first write
  ReadDiscState();
  return pe::ERROR_SUCCESS;
}

Win32Error CDiscEngine::DoList(Request& r) {
  if (const Win32Error e = LoadDisc(r.disc)) return e;
  char pattern[32];
  std::snprintf(pattern, sizeof pattern, "%X%06X??", (r.disc >> 2) & 0xF,
                ((static_cast<uint32_t>(r.disc) & 3) << 22) | ((r.file >> 8) & 0x3FFFFF));
  const std::u16string full = Widen(std::string(pattern) + std::string(CCacheStore::Extension(r.kind)));
  const auto& found = *r.found;
  const Win32Error e = EnumerateBlock(r.file, full, [&](const std::u16string& name) {
    uint64_t value = 0;
    size_t digits = 0;
    for (char16_t c : name) {
      int v;
      if (c >= u'0' && c <= u'9') v = c - u'0';
      else if (c >= u'A' && c <= u'F') v = c - u'A' + 10;
      else if (c >= u'a' && c <= u'f') v = c - u'a' + 10;
      else break;
      value = value << 4 | static_cast<uint64_t>(v);
      if (++digits == 9) break;
    }
    if (digits == 9) found(static_cast<uint32_t>(value & 0x3FFFFFFF));
  });
  return e;
}

// ---- submitters ----

Win32Error CDiscEngine::CloseDataFile() {
  Request r(DiscRequestType::kCloseDataFile, clock_);
  return Submit(r);
}

Win32Error CDiscEngine::FetchFile(CacheKind kind, uint8_t disc, uint32_t file, const std::filesystem::path& target) {
  Request r(DiscRequestType::kFetchFile, clock_);
  r.kind = kind;
  r.disc = disc;
  r.file = file;
  r.path = target;
  return Submit(r);
}

Win32Error CDiscEngine::RecordCacheFile(const RecordSource& source, RecordAnswer* answer) {
  Request r(DiscRequestType::kRecordCacheFile, clock_);
  r.source = &source;
  r.answer = answer;
  return Submit(r);
}

Win32Error CDiscEngine::RecordLogHead(uint8_t disc, uint32_t file, RecordAnswer* answer) {
  RecordSource source;
  source.kind = CK_LOG;
  source.disc = disc;
  source.file = file;
  source.wanted = file;
  Request r(DiscRequestType::kRecordLogHead, clock_);
  r.source = &source;
  r.answer = answer;
  return Submit(r);
}

Win32Error CDiscEngine::RecordStream(CacheKind kind, uint32_t file, pe::File& source, uint64_t* bytes) {
  Request r(DiscRequestType::kRecordCacheFile, clock_);
  r.kind = kind;
  r.file = file;
  r.stream = &source;
  r.bytes = bytes;
  return Submit(r);
}

Win32Error CDiscEngine::BeginDataFile(CacheKind kind, uint8_t naming_disc, uint32_t file, bool create) {
  Request r(DiscRequestType::kBeginDataFile, clock_);
  r.kind = kind;
  r.disc = naming_disc;
  r.file = file;
  r.flag = create;
  return Submit(r);
}

Win32Error CDiscEngine::OpenDiscFile(CacheKind kind, uint8_t disc, uint32_t file, bool for_writing) {
  Request r(DiscRequestType::kOpenDiscFile, clock_);
  r.kind = kind;
  r.disc = disc;
  r.file = file;
  r.flag = for_writing;
  return Submit(r);
}

Win32Error CDiscEngine::ReadData(CacheKind kind, uint8_t disc, uint32_t file, uint64_t offset, void* buffer,
                                 uint32_t count, uint32_t* done) {
  Request r(DiscRequestType::kReadData, clock_);
  r.kind = kind;
  r.disc = disc;
  r.file = file;
  r.offset = offset;
  r.buffer = buffer;
  r.count = count;
  r.count_done = done;
  *done = 0;
  return Submit(r);
}

Win32Error CDiscEngine::WriteData(const void* data, uint32_t count, uint32_t* done) {
  Request r(DiscRequestType::kWriteData, clock_);
  r.data = data;
  r.count = count;
  r.count_done = done;
  *done = 0;
  return Submit(r);
}

Win32Error CDiscEngine::SetDataLength(uint64_t length) {
  Request r(DiscRequestType::kSetDataLength, clock_);
  r.offset = length;
  return Submit(r);
}

Win32Error CDiscEngine::CloseDisc() {
  Request r(DiscRequestType::kCloseDisc, clock_);
  return Submit(r);
}

Win32Error CDiscEngine::PrepareDisc() {
  Request r(DiscRequestType::kPrepareDisc, clock_);
  return Submit(r);
}

Win32Error CDiscEngine::RefreshDiscState() {
  Request r(DiscRequestType::kRefreshDiscState, clock_);
  return Submit(r);
}

Win32Error CDiscEngine::LookupDiscFile(CacheKind kind, uint8_t disc, uint32_t file, DiscFileInfo* out) {
  Request r(DiscRequestType::kLookupDiscFile, clock_);
  r.kind = kind;
  r.disc = disc;
  r.file = file;
  r.info = out;
  return Submit(r);
}

bool CDiscEngine::ChangeDisc(uint8_t disc) {
  if (disc > highest_disc_) return false;  // no further disc; the unit is not asked
  if (disc <= CurrentDisc()) return true;
  {
    std::lock_guard lock(queue_mu_);
    ++queued_changes_;
    queued_change_to_ = std::max(queued_change_to_, disc);
  }
  Request r(DiscRequestType::kChangeDisc, clock_);
  r.disc = disc;
  const Win32Error e = Submit(r);
  {
    std::lock_guard lock(queue_mu_);
    if (--queued_changes_ == 0) queued_change_to_ = 0;
  }
  if (host_ != nullptr) host_->DiscEngineEvent(e == pe::ERROR_SUCCESS ? kDiscEventChanged : kDiscEventMagazineFull);
  return e == pe::ERROR_SUCCESS;
}

Win32Error CDiscEngine::ListDisc(CacheKind kind, uint8_t disc, uint32_t file,
                                 const std::function<void(uint32_t)>& found) {
  Request r(DiscRequestType::kListDisc, clock_);
  r.kind = kind;
  r.disc = disc;
  r.file = file;
  r.found = &found;
  return Submit(r);
}

}  // namespace kelva::storage
