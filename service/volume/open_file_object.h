// COpenFileObject: a file object as the volume's tables see it. It owns the
// CFileObject and answers the writer's questions about it: writing back means
// recording its changed segments, and it may be evicted once the host has
// closed it.
#pragma once

#include <atomic>
#include <memory>

#include "service/storage/disc_recorder.h"
#include "service/storage/file_object.h"
#include "service/volume/open_file.h"

namespace kelva::volume {

class COpenFileObject : public IOpenFile {
 public:
  // recorder: the volume's disc I/O engine (may be null in tests).
  COpenFileObject(std::unique_ptr<storage::CFileObject> file, storage::IDiscRecorder* recorder)
      : file_(std::move(file)), recorder_(recorder) {}

  storage::CFileObject* file() { return file_.get(); }
  // The key the file object queues itself under (MarkFileDirty).
  void* key() { return file_.get(); }
  // Kept by the host binding: true between the host's open and close.
  void SetOpenInHost(bool open) { open_in_host_ = open; }

  platform::Win32Error WriteBack(bool close_mode) override;
  // Not while its recorded content waits for the disc to be closed: its
  // pieces are then the only sure copy.
  bool AgreesToEvict() override { return !open_in_host_.load() && !file_->AwaitsDiscClose(); }
  bool AwaitsDiscClose() override { return file_->AwaitsDiscClose(); }
  void DiscClosed(uint64_t closes) override { file_->DiscClosed(closes); }
  void RecordAgain() override { file_->RecordAgain(); }
  void FinishPendingClose() override {}
  bool HasUnwrittenData() override { return file_->content_changed(); }
  bool IsOpenInHost() override { return open_in_host_.load(); }
  void SetTrimAtClose() override { file_->SetTrimAtClose(true); }
  platform::Win32Error SaveState(storage::IDataStream& stream) override { return file_->SaveState(stream); }
  platform::Win32Error LoadState(storage::IDataStream& stream) override { return file_->LoadState(stream); }

 private:
  std::unique_ptr<storage::CFileObject> file_;
  storage::IDiscRecorder* recorder_;
  std::atomic<bool> open_in_host_{false};
};

}  // namespace kelva::volume
