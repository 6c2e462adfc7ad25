#include "filter/filter_state.h"

#include <algorithm>
#include <cstring>

#include "platform/log.h"

namespace kelva::filter {

bool SameVolumeName(const VolumeName& a, const VolumeName& b) {
  return std::memcmp(a.data() + 8, b.data() + 8, kVolumeNameBytes - 8) == 0;
}

bool FilterState::Connect(uint64_t connection, pid_t pid) {
  std::lock_guard<std::mutex> g(table_mu_);
  if (table_.size() >= kMaxConnections) return false;
  table_.push_back({connection, pid});
  return true;
}

void FilterState::Disconnect(uint64_t connection) {
  pid_t pid = 0;
  {
    std::lock_guard<std::mutex> g(table_mu_);
    auto it = std::find_if(table_.begin(), table_.end(), [&](const Connection& c) { return c.id == connection; });
    if (it == table_.end()) return;
    pid = it->pid;
  }
  bool changed = false;
  {
    std::lock_guard<std::mutex> g(list_mu_);
    const size_t before = list_.size();
    list_.remove_if([&](const Registration& r) { return r.pid == pid; });
    changed = list_.size() != before;
  }
  {
    // Later entries move down.
    std::lock_guard<std::mutex> g(table_mu_);
    auto it = std::find_if(table_.begin(), table_.end(), [&](const Connection& c) { return c.id == connection; });
    if (it != table_.end()) table_.erase(it);
  }
  if (changed && on_change_) on_change_();
}

NtStatus FilterState::HandleMessage(pid_t pid, const uint8_t* data, size_t size) {
  if (size != kPortMessageSize || data == nullptr) return STATUS_INVALID_PARAMETER;
  Registration entry{pid, {}};
  std::memcpy(entry.name.data(), data + 2, kVolumeNameBytes);
  const bool add = data[0] != 0;
  bool changed = false;
  {
    std::lock_guard<std::mutex> g(list_mu_);
    auto same = [&](const Registration& r) { return r.pid == pid && SameVolumeName(r.name, entry.name); };
    auto it = std::find_if(list_.begin(), list_.end(), same);
    if (add && it == list_.end()) {
      try {
        list_.push_front(entry);
      } catch (const std::bad_alloc&) {
        return STATUS_INSUFFICIENT_RESOURCES;
      }
      changed = true;
    } else if (!add && it != list_.end()) {
      list_.erase(it);
      changed = true;
    }
  }
  if (changed && on_change_) on_change_();
  return STATUS_SUCCESS;
}

bool FilterState::AllowOpen(pid_t pid) const {
  std::lock_guard<std::mutex> g(table_mu_);
  if (table_.empty()) return true;
  return std::any_of(table_.begin(), table_.end(), [&](const Connection& c) { return c.pid == pid; });
}

std::vector<FilterState::Registration> FilterState::Registrations() const {
  std::lock_guard<std::mutex> g(list_mu_);
  return {list_.begin(), list_.end()};
}

size_t FilterState::ConnectionCount() const {
  std::lock_guard<std::mutex> g(table_mu_);
  return table_.size();
}

}  // namespace kelva::filter
