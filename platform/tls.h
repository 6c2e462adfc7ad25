// Dynamically allocated thread-local slots (TlsAlloc/TlsGetValue/TlsSetValue):
// one word per thread per slot, zero in every thread until that thread sets it.
// Unlike a C++ thread_local, a slot belongs to one object and is released with it,
// so each lock object can keep its own per-thread state.
#pragma once

#include <cstdint>

namespace kelva::platform {

class ThreadLocalSlot {
 public:
  // Allocates the slot; Valid() is false when the system has none left.
  ThreadLocalSlot();
  ~ThreadLocalSlot();
  ThreadLocalSlot(const ThreadLocalSlot&) = delete;
  ThreadLocalSlot& operator=(const ThreadLocalSlot&) = delete;

  bool Valid() const { return valid_; }
  // This thread's value (0 until set). REQUIRES: Valid().
  uintptr_t Get() const;
  // REQUIRES: Valid(). False when the system could not store the value.
  bool Set(uintptr_t value);

 private:
  unsigned int key_ = 0;
  bool valid_ = false;
};

}  // namespace kelva::platform
