// IDiscEngineHost: what the disc I/O engine asks of the volume that owns it.
// The engine calls these from its worker and watchdog threads, never while it
// holds its queue lock, so an implementation may submit further requests only
// from another thread (the worker is busy running the request that called).
//
// Kept narrow on purpose: file numbers, disc-change and write-failure notices,
// and the engine's fatal failure. Implementations must be thread safe.
#pragma once

#include <cstdint>

#include "service/storage/cache_store.h"

namespace kelva::storage {

// Values passed to IDiscEngineHost::DiscEngineEvent.
inline constexpr uint32_t kDiscEventChanged = 2;       // a new current disc is loaded and usable
inline constexpr uint32_t kDiscEventMagazineFull = 3;  // no further disc could be made current

// Kinds passed to IDiscEngineHost::ReportWriteFailure.
inline constexpr uint32_t kWriteFailureRefused = 0;  // the magazine refuses further writing

class IDiscEngineHost {
 public:
  virtual ~IDiscEngineHost() = default;

  // A new file number for a file of kind (never CK_DB) that must not reuse the
  // number it had: the number counter advances atomically on every call.
  virtual uint32_t NextFileNumber(CacheKind kind, uint8_t disc) = 0;

  // A disc change ended: kDiscEventChanged after ChangeDisc made the next disc
  // current, kDiscEventMagazineFull when it could not.
  virtual void DiscEngineEvent(uint32_t code) = 0;

  // The discs refuse further writing; kind kWriteFailureRefused when the highest
  // disc of the magazine is nearly out of its overwrite resources.
  virtual void ReportWriteFailure(uint32_t kind) = 0;

  // The engine closed the current disc after it had been written (its session
  // closed where the medium has sessions, the drive synchronised): what was
  // recorded on it is now durable.
  virtual void CommitAfterDiscClose() = 0;

  // A unit command outlived its time limit: the engine has failed for good and
  // has already written status (0xC0000064 .. 0xC0000068) with its text to the
  // event log. The volume detaches; every further request answers 31.
  virtual void EngineFailed(uint32_t status) = 0;
};

}  // namespace kelva::storage
