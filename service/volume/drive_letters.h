// Drive letters: each unit's storage appears under one letter ("X:", the
// folder KELVA_MOUNT_ROOT/X), and a unit keeps its letter from one attach to
// the next and across restarts. The records that remember the letters are
// kept in the registry key HKLM\SYSTEM\MountedDevices as on the original
// system: the storage's own record "\??\Volume{GUID}" and the letter record
// "\DosDevices\X:", both holding the storage's identity (its volume name in
// UTF-16LE). A letter record whose data equals a storage's own record
// reserves that letter for it.
//
// One DriveLetters per volume worker. Searches run on threads of their own;
// the search flag makes them exclusive. drive_index() may be read from any
// thread without a lock.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "platform/clock.h"
#include "platform/errors.h"
#include "platform/registry.h"

namespace kelva::volume {

using platform::Win32Error;

// What the search needs of the host storage and of the computer's drives.
class IDriveLetterHost {
 public:
  virtual ~IDriveLetterHost() = default;
  // The storage's mount points ("X:"); a host error is reported as an error.
  virtual Win32Error MountPoints(std::vector<std::string>* drives) = 0;
  virtual Win32Error AddMountPoint(std::string_view drive) = 0;
  // Bit n set when drive letter 'A' + n is in use on this computer.
  virtual uint32_t LogicalDriveMask() = 0;
  // The volume name ("\\?\Volume{GUID}\") of the storage at letter; an error
  // when no storage is there.
  virtual Win32Error VolumeNameForLetter(char letter, std::u16string* name) = 0;
};

inline constexpr char kMountedDevicesKey[] = "HKEY_LOCAL_MACHINE\\SYSTEM\\MountedDevices";

class DriveLetters {
 public:
  static constexpr uint8_t kNoLetter = 255;

  // storage_volume_name: the storage's volume name "\\?\Volume{GUID}\", from
  // its stable GUID. on_letter is called with the letter when a search found
  // or set one (notification class 1).
  DriveLetters(IDriveLetterHost* host, platform::Registry* registry, platform::Clock* clock,
               std::u16string storage_volume_name, std::function<void(char)> on_letter);
  DriveLetters(const DriveLetters&) = delete;
  DriveLetters& operator=(const DriveLetters&) = delete;

  // Finds the storage's letter: the one its mount points already show within
  // 5 seconds (50 rounds of 100 ms), the one remembered for it, else the
  // first free letter from C: to Z: (Z: when all are taken), which it adds as
  // the mount point. Returns at once while another search runs.
  void AssignDriveLetter();
  // Follows a change of mount points: the first letter whose volume is this
  // storage's becomes the drive index; none leaves it as it was.
  void RefreshDriveLetter();
  // Around the deletion of the storage: reads the records (waiting up to 6 s
  // for a letter; the search flag stays set), then writes the letter record
  // back and deletes folder records ("#...") of this storage. Registry
  // failures are silent.
  void SaveLetterRecord();
  void RestoreLetterRecord();

  uint8_t drive_index() const { return drive_index_.load(); }
  // 'A' + drive index; 0 while none is known.
  char letter() const;
  std::u16string host_volume_name() const;
  bool searching() const { return search_flag_.load() != 0; }

  // The drive index (0-25) of a letter A-Z or a-z; -1 for anything else.
  static int IndexOfLetter(char letter);
  // The worker's record name for a volume name: "\\?\Volume{G}\" -> "\??\Volume{G}".
  static std::string VolumeRecordName(std::u16string_view volume_name);

 private:
  bool TryBeginSearch();
  // The letter the registry reserves for this storage, or -1.
  int RememberedIndex();
  void WriteRecords(uint8_t index);
  std::string StorageRecordData() const;

  IDriveLetterHost* const host_;
  platform::Registry* const registry_;
  platform::Clock* const clock_;
  const std::u16string storage_volume_name_;
  const std::function<void(char)> on_letter_;

  std::atomic<uint8_t> drive_index_{kNoLetter};
  std::atomic<int32_t> search_flag_{0};
  mutable std::mutex mu_;
  std::u16string host_volume_name_;
  // Filled by SaveLetterRecord for RestoreLetterRecord.
  bool record_read_ = false;
  std::string volume_record_;
  bool letter_belongs_ = false;
};

// The worker whose drive index is the letter's (A-Z or a-z), or null: how
// control-channel requests that name a unit by its letter find it.
DriveLetters* FindByLetter(const std::vector<DriveLetters*>& units, char letter);

}  // namespace kelva::volume
