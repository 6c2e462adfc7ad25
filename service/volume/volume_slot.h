// VolumeSlot: the mounted volume as the host's threads reach it. Requests
// borrow the volume for the length of one call without any lock between
// them; taking the volume out of the slot waits until every borrower has
// returned it, so the volume can be closed and destroyed safely afterwards
// while later requests find the slot empty.
//
// Thread safe. Not copyable.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>

namespace kelva::volume {

class CFsVolume;

class VolumeSlot {
 public:
  VolumeSlot() = default;
  VolumeSlot(const VolumeSlot&) = delete;
  VolumeSlot& operator=(const VolumeSlot&) = delete;

  // Borrows the volume for one call; volume() is null when none is mounted.
  class Borrow {
   public:
    explicit Borrow(VolumeSlot& slot) : slot_(slot) {
      slot_.borrowers_.fetch_add(1);
      volume_ = slot_.volume_.load();
    }
    ~Borrow() {
      if (slot_.borrowers_.fetch_sub(1) == 1 && slot_.taking_.load()) {
        std::lock_guard lock(slot_.mu_);
        slot_.drained_.notify_all();
      }
    }
    Borrow(const Borrow&) = delete;
    Borrow& operator=(const Borrow&) = delete;
    CFsVolume* volume() const { return volume_; }

   private:
    VolumeSlot& slot_;
    CFsVolume* volume_ = nullptr;
  };

  void Put(CFsVolume* volume) { volume_.store(volume); }
  // Empties the slot and waits until no call holds the volume any more; the
  // volume it held (null when empty). A caller that holds a Borrow itself
  // must not call it.
  CFsVolume* Take() {
    CFsVolume* v = volume_.exchange(nullptr);
    taking_.store(true);
    {
      std::unique_lock lock(mu_);
      drained_.wait(lock, [this] { return borrowers_.load() == 0; });
    }
    taking_.store(false);
    return v;
  }
  CFsVolume* peek() const { return volume_.load(); }

 private:
  std::atomic<CFsVolume*> volume_{nullptr};
  std::atomic<int32_t> borrowers_{0};
  std::atomic<bool> taking_{false};
  std::mutex mu_;
  std::condition_variable drained_;
};

}  // namespace kelva::volume
