// An in-memory volume behind the host's event handler: the fixture of the
// mount tests. Paths are kept as the host passes them ("\" separators) and
// matched without regard to case, as the volume does. Any event can be made
// to fail once with a chosen Win32 code.
#pragma once

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <functional>
#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "platform/fshost/fs_event_handler.h"
#include "platform/text.h"

namespace kelva::platform::testing {

class MemoryVolume : public IFsEventHandler {
 public:
  struct Node {
    bool dir = false;
    std::string data;
    uint32_t attributes = 0;
    FsTimes times;
    std::map<std::u16string, std::string> streams;
    std::u16string name;  // as given when made or renamed
  };

  MemoryVolume() { nodes_[u"\\"] = MakeNode(true, u"\\", FILE_ATTRIBUTE_DIRECTORY); }

  // The next call of the named event ("create", "open", "read", ...) fails with code.
  void FailNext(const std::string& event, Win32Error code) {
    std::lock_guard lock(mu_);
    fail_[event] = code;
  }
  // Changes a file behind the kernel's back (as the volume's writer may).
  void SetData(std::u16string_view path, std::string data) {
    std::lock_guard lock(mu_);
    Find(path)->data = std::move(data);
  }
  void AddFile(std::u16string_view path, std::string data) {
    std::lock_guard lock(mu_);
    auto node = MakeNode(false, path, FILE_ATTRIBUTE_ARCHIVE);
    node->data = std::move(data);
    nodes_[UpCase(path)] = node;
  }
  std::shared_ptr<Node> Get(std::u16string_view path) {
    std::lock_guard lock(mu_);
    return Find(path);
  }
  // Reads block until this many reads are inside OnReadFile at once (0: never block).
  void SetReadRendezvous(int count) { rendezvous_ = count; }
  int max_concurrent_reads() const { return max_inside_; }
  std::string last_requester() {
    std::lock_guard lock(mu_);
    return last_requester_;
  }
  // Called from OnCreateFile to record the requester (set by the test).
  std::function<std::string()> requester_probe;

  // Waits for the ejection notice and consumes it.
  bool WaitEjected(int ms) {
    std::unique_lock lock(mu_);
    bool seen = cv_.wait_for(lock, std::chrono::milliseconds(ms), [&] { return ejected_; });
    ejected_ = false;
    return seen;
  }
  int open_contexts() const { return open_contexts_; }

  Win32Error OnCreateFile(std::u16string_view path, uint32_t attributes, FsContext* context) override {
    std::lock_guard lock(mu_);
    if (Win32Error e = Injected("create")) return e;
    if (requester_probe) last_requester_ = requester_probe();
    if (Find(path)) return ERROR_FILE_EXISTS;
    if (!ParentIsDir(path)) return ERROR_PATH_NOT_FOUND;
    auto node = MakeNode(false, path, attributes);
    nodes_[UpCase(path)] = node;
    *context = Open(node);
    return ERROR_SUCCESS;
  }
  Win32Error OnCreateDirectory(std::u16string_view path) override {
    std::lock_guard lock(mu_);
    if (Win32Error e = Injected("mkdir")) return e;
    if (Find(path)) return ERROR_ALREADY_EXISTS;
    if (!ParentIsDir(path)) return ERROR_PATH_NOT_FOUND;
    nodes_[UpCase(path)] = MakeNode(true, path, FILE_ATTRIBUTE_DIRECTORY);
    return ERROR_SUCCESS;
  }
  Win32Error OnOpenFile(std::u16string_view path, bool, FsContext* context) override {
    std::lock_guard lock(mu_);
    if (Win32Error e = Injected("open")) return e;
    auto node = Find(path);
    if (!node) return ERROR_FILE_NOT_FOUND;
    *context = Open(node);
    return ERROR_SUCCESS;
  }
  Win32Error OnOpenDirectory(std::u16string_view path, FsContext* context) override {
    std::lock_guard lock(mu_);
    if (Win32Error e = Injected("opendir")) return e;
    auto node = Find(path);
    if (!node) return ERROR_PATH_NOT_FOUND;
    if (!node->dir) return ERROR_DIRECTORY;
    *context = Open(node, path);
    return ERROR_SUCCESS;
  }
  void OnCloseFile(FsContext context) override { Close(context); }
  void OnCloseDirectory(FsContext context) override { Close(context); }
  Win32Error OnGetFileInfo(std::u16string_view path, FsContext context, FsFileInfo* info) override {
    std::lock_guard lock(mu_);
    if (Win32Error e = Injected("getattr")) return e;
    auto node = context ? NodeOf(context) : Find(path);
    if (!node) return ERROR_FILE_NOT_FOUND;
    info->attributes = node->attributes;
    info->size = info->allocation = node->data.size();
    info->write = node->times.write;
    info->access = node->times.access;
    return ERROR_SUCCESS;
  }
  Win32Error OnEnumerateDirectory(std::u16string_view path, FsContext context,
                                  const std::function<bool(const FsDirEntry&)>& add) override {
    std::lock_guard lock(mu_);
    if (Win32Error e = Injected("readdir")) return e;
    std::u16string prefix = UpCase(path.empty() ? std::u16string_view(PathOf(context)) : path);
    if (prefix.back() != u'\\') prefix += u'\\';
    for (const auto& [key, node] : nodes_) {
      if (key.size() <= prefix.size() || key.compare(0, prefix.size(), prefix) != 0) continue;
      if (key.find(u'\\', prefix.size()) != std::u16string::npos) continue;
      FsDirEntry entry{node->name, {}};
      entry.info.attributes = node->attributes;
      entry.info.size = node->data.size();
      if (!add(entry)) break;
    }
    return ERROR_SUCCESS;
  }
  Win32Error OnReadFile(FsContext context, uint64_t offset, void* buffer, size_t length, size_t* done) override {
    Rendezvous();
    std::lock_guard lock(mu_);
    if (Win32Error e = Injected("read")) return e;
    const std::string& data = NodeOf(context)->data;
    *done = offset >= data.size() ? 0 : std::min<size_t>(length, data.size() - offset);
    if (*done) std::memcpy(buffer, data.data() + offset, *done);
    return ERROR_SUCCESS;
  }
  Win32Error OnWriteFile(FsContext context, uint64_t offset, const void* data, size_t length,
                         size_t* done) override {
    std::lock_guard lock(mu_);
    if (Win32Error e = Injected("write")) return e;
    std::string& bytes = NodeOf(context)->data;
    if (bytes.size() < offset + length) bytes.resize(offset + length);
    std::memcpy(bytes.data() + offset, data, length);
    *done = length;
    return ERROR_SUCCESS;
  }
  Win32Error OnSetEndOfFile(std::u16string_view path, FsContext context, uint64_t size) override {
    std::lock_guard lock(mu_);
    if (Win32Error e = Injected("truncate")) return e;
    auto node = context ? NodeOf(context) : Find(path);
    if (!node) return ERROR_FILE_NOT_FOUND;
    node->data.resize(size);
    return ERROR_SUCCESS;
  }
  Win32Error OnSetAllocationSize(FsContext context, uint64_t size) override {
    std::lock_guard lock(mu_);
    if (Win32Error e = Injected("fallocate")) return e;
    auto node = NodeOf(context);
    if (node->data.size() < size) node->data.resize(size);
    return ERROR_SUCCESS;
  }
  Win32Error OnSetTimes(std::u16string_view path, FsContext context, const FsTimes& times) override {
    std::lock_guard lock(mu_);
    if (Win32Error e = Injected("utimens")) return e;
    auto node = context ? NodeOf(context) : Find(path);
    if (!node) return ERROR_FILE_NOT_FOUND;
    if (times.access) node->times.access = times.access;
    if (times.write) node->times.write = times.write;
    return ERROR_SUCCESS;
  }
  Win32Error OnSetAttributes(std::u16string_view path, uint32_t attributes) override {
    std::lock_guard lock(mu_);
    if (Win32Error e = Injected("chmod")) return e;
    auto node = Find(path);
    if (!node) return ERROR_FILE_NOT_FOUND;
    node->attributes = (attributes & ~FILE_ATTRIBUTE_DIRECTORY) | (node->dir ? uint32_t{FILE_ATTRIBUTE_DIRECTORY} : 0u);
    return ERROR_SUCCESS;
  }
  Win32Error OnDeleteFile(std::u16string_view path) override {
    std::lock_guard lock(mu_);
    if (Win32Error e = Injected("unlink")) return e;
    auto node = Find(path);
    if (!node) return ERROR_FILE_NOT_FOUND;
    if (node->dir) return ERROR_ACCESS_DENIED;
    nodes_.erase(UpCase(path));
    return ERROR_SUCCESS;
  }
  Win32Error OnDeleteDirectory(std::u16string_view path) override {
    std::lock_guard lock(mu_);
    if (Win32Error e = Injected("rmdir")) return e;
    auto node = Find(path);
    if (!node) return ERROR_PATH_NOT_FOUND;
    std::u16string prefix = UpCase(path) + u'\\';
    for (const auto& entry : nodes_) {
      if (entry.first.compare(0, prefix.size(), prefix) == 0) return ERROR_DIR_NOT_EMPTY;
    }
    nodes_.erase(UpCase(path));
    return ERROR_SUCCESS;
  }
  Win32Error OnRename(std::u16string_view from, std::u16string_view to, bool replace) override {
    std::lock_guard lock(mu_);
    if (Win32Error e = Injected("rename")) return e;
    auto node = Find(from);
    if (!node) return ERROR_FILE_NOT_FOUND;
    if (!replace && Find(to)) return ERROR_ALREADY_EXISTS;
    const std::u16string old_key = UpCase(from), new_key = UpCase(to);
    std::map<std::u16string, std::shared_ptr<Node>> moved;
    for (auto it = nodes_.begin(); it != nodes_.end();) {
      if (it->first == old_key || it->first.compare(0, old_key.size() + 1, old_key + u'\\') == 0) {
        moved[new_key + it->first.substr(old_key.size())] = it->second;
        it = nodes_.erase(it);
      } else {
        ++it;
      }
    }
    for (auto& [key, value] : moved) nodes_[key] = value;
    nodes_[new_key]->name = std::u16string(to.substr(to.rfind(u'\\') + 1));
    return ERROR_SUCCESS;
  }
  Win32Error OnGetVolumeSize(uint64_t* total, uint64_t* free_bytes) override {
    std::lock_guard lock(mu_);
    if (Win32Error e = Injected("statfs")) return e;
    *total = 300ull << 30;
    *free_bytes = 100ull << 30;
    return ERROR_SUCCESS;
  }
  Win32Error OnFlushFile(FsContext) override { return Injected("flush"); }
  Win32Error OnSyncFile(FsContext, bool) override { return Injected("fsync"); }
  Win32Error OnSyncDirectory(FsContext) override { return Injected("fsyncdir"); }
  Win32Error OnEnumerateStreams(std::u16string_view path, std::vector<std::u16string>* names) override {
    std::lock_guard lock(mu_);
    auto node = Find(path);
    if (!node) return ERROR_FILE_NOT_FOUND;
    for (const auto& s : node->streams) names->push_back(s.first);
    return ERROR_SUCCESS;
  }
  Win32Error OnReadStream(std::u16string_view path, std::u16string_view name, std::string* data) override {
    std::lock_guard lock(mu_);
    auto node = Find(path);
    if (!node) return ERROR_FILE_NOT_FOUND;
    auto it = node->streams.find(std::u16string(name));
    if (it == node->streams.end()) return ERROR_FILE_NOT_FOUND;
    *data = it->second;
    return ERROR_SUCCESS;
  }
  Win32Error OnWriteStream(std::u16string_view path, std::u16string_view name, std::string_view data,
                           bool create_only, bool replace_only) override {
    std::lock_guard lock(mu_);
    auto node = Find(path);
    if (!node) return ERROR_FILE_NOT_FOUND;
    const bool exists = node->streams.count(std::u16string(name)) != 0;
    if (create_only && exists) return ERROR_ALREADY_EXISTS;
    if (replace_only && !exists) return ERROR_FILE_NOT_FOUND;
    node->streams[std::u16string(name)] = std::string(data);
    return ERROR_SUCCESS;
  }
  Win32Error OnDeleteStream(std::u16string_view path, std::u16string_view name) override {
    std::lock_guard lock(mu_);
    auto node = Find(path);
    if (!node) return ERROR_FILE_NOT_FOUND;
    return node->streams.erase(std::u16string(name)) ? ERROR_SUCCESS : ERROR_FILE_NOT_FOUND;
  }
  void OnStorageEjected() override {
    std::lock_guard lock(mu_);
    ejected_ = true;
    cv_.notify_all();
  }

 private:
  struct OpenFile {
    std::shared_ptr<Node> node;
    std::u16string path;
  };
  static const std::u16string& PathOf(FsContext context) { return static_cast<OpenFile*>(context)->path; }
  static std::shared_ptr<Node> MakeNode(bool dir, std::u16string_view path, uint32_t attributes) {
    auto node = std::make_shared<Node>();
    node->dir = dir;
    node->attributes = attributes;
    node->name = std::u16string(path.substr(path.rfind(u'\\') + 1));
    return node;
  }
  std::shared_ptr<Node> Find(std::u16string_view path) {
    auto it = nodes_.find(UpCase(path));
    return it == nodes_.end() ? nullptr : it->second;
  }
  bool ParentIsDir(std::u16string_view path) {
    size_t slash = path.rfind(u'\\');
    auto parent = Find(slash == 0 ? std::u16string_view(u"\\") : path.substr(0, slash));
    return parent && parent->dir;
  }
  FsContext Open(std::shared_ptr<Node> node, std::u16string_view path = {}) {
    ++open_contexts_;
    return new OpenFile{std::move(node), std::u16string(path)};
  }
  void Close(FsContext context) {
    --open_contexts_;
    delete static_cast<OpenFile*>(context);
  }
  static std::shared_ptr<Node> NodeOf(FsContext context) { return static_cast<OpenFile*>(context)->node; }
  Win32Error Injected(const std::string& event) {
    auto it = fail_.find(event);
    if (it == fail_.end()) return ERROR_SUCCESS;
    Win32Error code = it->second;
    fail_.erase(it);
    return code;
  }
  void Rendezvous() {
    std::unique_lock lock(rv_mu_);
    int now = ++inside_;
    max_inside_ = std::max(max_inside_.load(), now);
    rv_cv_.notify_all();
    if (rendezvous_ > 0) {
      rv_cv_.wait_for(lock, std::chrono::seconds(10), [&] { return inside_ >= rendezvous_ || max_inside_ >= rendezvous_; });
    }
    --inside_;
  }

  std::mutex mu_;
  std::condition_variable cv_;
  bool ejected_ = false;
  std::map<std::u16string, std::shared_ptr<Node>> nodes_;  // upper-cased path -> node
  std::map<std::string, Win32Error> fail_;
  std::string last_requester_;
  std::atomic<int> open_contexts_{0};
  std::mutex rv_mu_;
  std::condition_variable rv_cv_;
  std::atomic<int> rendezvous_{0};
  int inside_ = 0;
  std::atomic<int> max_inside_{0};
};

}  // namespace kelva::platform::testing
