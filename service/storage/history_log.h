// CHistoryLog: the writer of one entry's history log.
//
// The log is a chain of cache files of kind CK_LOG (layout in history_records.h).
// The writer keeps the newest segment open in the cache and appends records to
// it; Seal records the segment on the current disc and, when it has grown past
// 65536 bytes, records only its first 65536 bytes and carries the rest into a
// new segment linked to the recorded one. Sealed segments are never rewritten:
// a later Seal of the same segment records it under a new identity.
//
// Every cache file the log uses is pinned through the volume with this object
// as owner. Every append, seal and export runs under the object's own lock, so
// records from different threads never interleave. Operations return 0 or a
// Win32 error code. Not copyable.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>
#include <string_view>

#include "platform/file.h"
#include "platform/filetime.h"
#include "platform/sync.h"
#include "service/storage/history_records.h"
#include "service/volume/fs_volume_iface.h"

namespace kelva::storage {

class CHistoryLog {
 public:
  // Log state.
  static constexpr uint8_t kStateClean = 0;     // nothing new since opening
  static constexpr uint8_t kStateAppended = 1;  // records appended since the last seal
  static constexpr uint8_t kStateSealed = 2;    // recorded on a disc

  // Sent for a mailslot export before the first segment: the number of segment
  // messages and the total bytes of records that follow. The control channel
  // puts its reply to the requester here.
  using ReplyHeaderSender = std::function<Win32Error(uint8_t segments, uint32_t total_bytes)>;

  // Mailslot targets begin with this prefix.
  static constexpr std::u16string_view kMailslotPrefix = u"\\\\.\\mailslot\\";
  // A segment message: 0xDF, 0x00, sequence number, u16 records length, records.
  static constexpr size_t kMessageHeadSize = 5;
  static constexpr size_t kMaxMessageRecords = 0xFFFF;
  // Chains longer than this are taken as damaged.
  static constexpr size_t kMaxSegments = 65536;

  explicit CHistoryLog(volume::IFsVolume* volume);
  ~CHistoryLog();  // Close
  CHistoryLog(const CHistoryLog&) = delete;
  CHistoryLog& operator=(const CHistoryLog&) = delete;

  // Creates a new first segment (identity: the current disc and a new number)
  // holding the link (255, 0xFFFFFFFF). REQUIRES: no segment open.
  Win32Error Start();
  // Opens the existing segment (disc, file) for appending at its end, bringing
  // it into the cache first when needed. ERROR_INVALID_DATA for a segment
  // shorter than its link. REQUIRES: no segment open.
  Win32Error Open(uint8_t disc, uint32_t file);
  // Appends one record. The directory's or file's identity is given as it
  // belongs in the record (a directory sets bit 30 of the file number).
  Win32Error AppendCreated(platform::FileTime time, uint8_t disc, uint32_t file, uint32_t value1, uint32_t value2,
                           std::u16string_view path);
  Win32Error AppendUpdated(platform::FileTime time, uint8_t disc, uint32_t file, uint32_t value1,
                           uint32_t value2);
  Win32Error AppendRenamed(platform::FileTime time, std::u16string_view new_name);
  Win32Error AppendMoved(platform::FileTime time, std::u16string_view new_path);
  Win32Error AppendDeleted(platform::FileTime time);
  // Records the segment on the current disc (moving to the next disc when one is
  // full) and returns the identity the entry's hdisk and hfile must name. A
  // segment over 65536 bytes is split as described above and the continuation
  // is sealed as well. Nothing is recorded when the segment is on a disc and
  // nothing was appended since.
  Win32Error Seal(uint8_t* disc, uint32_t* file);
  // Exports the chain, oldest segment first. target is a mailslot name
  // ("\\.\mailslot\...": reply header first, then one message per segment) or a
  // file path on this computer (created anew; the records without links).
  // reply may be empty. run_dir locates mailslots (empty: the run folder).
  Win32Error Export(std::u16string_view target, const ReplyHeaderSender& reply,
                    const std::filesystem::path& run_dir = {});
  // Closes the segment and releases its pin (the cache file is kept for removal
  // by the cache store later). No effect when none is open.
  void Close();

  bool IsOpen() const { return file_.IsOpen(); }
  uint8_t state() const { return state_; }
  void set_state(uint8_t state) { state_ = state; }
  uint8_t disc() const { return disc_; }
  uint32_t file() const { return file_number_; }
  bool on_disc() const { return on_disc_; }
  void set_on_disc(bool on) { on_disc_ = on; }
  // Current size of the open segment, link included.
  uint64_t size() const { return size_; }

 private:
  Win32Error AppendLocked(const std::string& record);
  Win32Error OpenPinned(uint8_t disc, uint32_t file);
  // Records the segment (only its first 65536 bytes when head_only) and takes
  // the identity the engine answers.
  Win32Error Record(bool head_only, uint8_t* out_disc, uint32_t* out_file);
  Win32Error SplitAfterHead();
  Win32Error ReadSegment(uint8_t disc, uint32_t file, std::string* bytes);

  volume::IFsVolume* volume_;
  platform::CriticalSection lock_;
  platform::File file_;
  uint64_t size_ = 0;
  uint8_t state_ = kStateClean;
  uint8_t disc_ = kHistoryNoDisc;
  uint32_t file_number_ = kHistoryNoFile;
  bool on_disc_ = false;
};

}  // namespace kelva::storage
