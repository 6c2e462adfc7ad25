#include "platform/tls.h"

#include <pthread.h>

static_assert(sizeof(pthread_key_t) <= sizeof(unsigned int));

namespace kelva::platform {

ThreadLocalSlot::ThreadLocalSlot() {
  pthread_key_t key;
  if (pthread_key_create(&key, nullptr) == 0) {
    key_ = static_cast<unsigned int>(key);
    valid_ = true;
  }
}

ThreadLocalSlot::~ThreadLocalSlot() {
  if (valid_) pthread_key_delete(static_cast<pthread_key_t>(key_));
}

uintptr_t ThreadLocalSlot::Get() const {
  return reinterpret_cast<uintptr_t>(pthread_getspecific(static_cast<pthread_key_t>(key_)));
}

bool ThreadLocalSlot::Set(uintptr_t value) {
  return pthread_setspecific(static_cast<pthread_key_t>(key_), reinterpret_cast<void*>(value)) == 0;
}

}  // namespace kelva::platform
