#include "filter/filter_service.h"

#include "platform/log.h"

namespace kelva::filter {

using namespace kelva::platform;

FilterService::FilterService(std::unique_ptr<VolumeResolver> resolver) : resolver_(std::move(resolver)) {
  state_.SetOnChange([this] { Reconcile(); });
}

Win32Error FilterService::Start(const Options& options, bool* enforcing) {
  Stop();
  if (options.enforce) {
    std::unique_ptr<OpenPermissionGuard> guard;
    const Win32Error e = OpenPermissionGuard::Create([this](pid_t pid) { return state_.AllowOpen(pid); }, &guard);
    if (e) {
      KLOG_ERROR("open permission events unavailable: %u (%s); registered volumes are not protected", e,
                 ErrorText(e).c_str());
    } else {
      std::lock_guard<std::mutex> g(guard_mu_);
      guard_ = std::move(guard);
    }
  }
  if (enforcing) {
    std::lock_guard<std::mutex> g(guard_mu_);
    *enforcing = guard_ != nullptr;
  }
  FilterPortServer::Callbacks cb;
  cb.connect = [this](const PortPeer& peer) {
    const bool ok = state_.Connect(peer.connection, peer.pid);
    if (ok) {
      KLOG_INFO("process %d connected", static_cast<int>(peer.pid));
    } else {
      KLOG_WARN("process %d refused: %zu connections already", static_cast<int>(peer.pid), kMaxConnections);
    }
    return ok;
  };
  cb.disconnect = [this](const PortPeer& peer) {
    state_.Disconnect(peer.connection);
    KLOG_INFO("process %d disconnected", static_cast<int>(peer.pid));
  };
  cb.message = [this](const PortPeer& peer, const uint8_t* data, size_t size) {
    const NtStatus st = state_.HandleMessage(peer.pid, size <= FilterPortServer::kMaxMessage ? data : nullptr, size);
    if (st != STATUS_SUCCESS) {
      KLOG_WARN("message of %zu bytes from process %d refused: 0x%08X", size, static_cast<int>(peer.pid), st);
    } else {
      VolumeName name{};
      std::copy(data + 2, data + 2 + kVolumeNameBytes, name.begin());
      KLOG_INFO("%s %s for process %d", data[0] ? "register" : "remove", VolumeKey(name).c_str(),
                static_cast<int>(peer.pid));
    }
  };
  const Win32Error e = FilterPortServer::Create(kFilterPortName, options.port_mode, std::move(cb), &port_, options.run_dir);
  if (e) {
    std::lock_guard<std::mutex> g(guard_mu_);
    guard_.reset();
    return e;
  }
  return ERROR_SUCCESS;
}

void FilterService::Stop() {
  port_.reset();  // disconnects every client, which drops their registrations
  std::lock_guard<std::mutex> g(guard_mu_);
  guard_.reset();
  guarded_.clear();
}

std::set<std::filesystem::path> FilterService::GuardedPaths() {
  std::lock_guard<std::mutex> g(guard_mu_);
  return guarded_;
}

void FilterService::Reconcile() {
  std::set<std::filesystem::path> wanted;
  for (const FilterState::Registration& r : state_.Registrations())
    for (const std::filesystem::path& p : resolver_->Resolve(r.name)) wanted.insert(p);
  std::lock_guard<std::mutex> g(guard_mu_);
  for (auto it = guarded_.begin(); it != guarded_.end();) {
    if (wanted.count(*it)) {
      ++it;
      continue;
    }
    if (guard_) guard_->Unguard(*it);
    KLOG_INFO("no longer guarding %s", it->c_str());
    it = guarded_.erase(it);
  }
  for (const std::filesystem::path& p : wanted) {
    if (guarded_.count(p)) continue;
    if (guard_) {
      if (Win32Error e = guard_->Guard(p)) {
        KLOG_ERROR("cannot guard %s: %u (%s)", p.c_str(), e, ErrorText(e).c_str());
        continue;
      }
    }
    KLOG_INFO("guarding %s", p.c_str());
    guarded_.insert(p);
  }
}

}  // namespace kelva::filter
