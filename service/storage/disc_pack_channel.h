// CDiscPackChannel: the directory pack file ("STRUCT\DIRPACK.BIN") on the
// engine's current disc as the channel under a CDirPackStream. Writing goes to
// the disc file in progress that Create opens; reading takes the pack range by
// range from where the previous read ended. The caller holds the engine's I/O
// lock for the whole pack, so that no other request closes the file between
// two ranges.
#pragma once

#include <cstdint>

#include "service/storage/dir_pack_stream.h"
#include "service/storage/disc_engine.h"

namespace kelva::storage {

class CDiscPackChannel : public IPackChannel {
 public:
  explicit CDiscPackChannel(CDiscEngine* engine) : engine_(engine) {}

  // Creates the pack on the current disc for writing (80 when one is there).
  platform::Win32Error Create() { return engine_->BeginDataFile(CK_DIR, kStructDisc, 0, true); }
  // Closes the pack's disc file.
  platform::Win32Error Close() { return engine_->CloseDataFile(); }

  platform::Win32Error Read(void* buffer, uint32_t count, uint32_t* done) override {
    const platform::Win32Error e = engine_->ReadData(CK_DIR, kStructDisc, 0, offset_, buffer, count, done);
    offset_ += *done;
    return e;
  }
  platform::Win32Error Write(const void* data, uint32_t count, uint32_t* done) override {
    return engine_->WriteData(data, count, done);
  }

 private:
  CDiscEngine* engine_;
  uint64_t offset_ = 0;
};

}  // namespace kelva::storage
