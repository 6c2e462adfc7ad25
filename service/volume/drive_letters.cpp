#include "service/volume/drive_letters.h"

#include "platform/log.h"
#include "platform/text.h"

namespace kelva::volume {

namespace {

constexpr int kSearchRounds = 50;
constexpr uint32_t kRoundMs = 100;
constexpr int kSaveWaitRounds = 60;
constexpr int kFirstLetter = 2;  // C:
constexpr int kLastLetter = 25;  // Z:
constexpr size_t kMaxRecordBytes = 520;

std::string LetterRecordName(int index) {
  return std::string("\\DosDevices\\") + static_cast<char>('A' + index) + ":";
}

std::string Utf16Le(std::u16string_view s) {
  std::string out;
  out.reserve(s.size() * 2);
  for (char16_t c : s) {
    out.push_back(static_cast<char>(c & 0xFF));
    out.push_back(static_cast<char>(c >> 8));
  }
  return out;
}

}  // namespace

DriveLetters::DriveLetters(IDriveLetterHost* host, platform::Registry* registry, platform::Clock* clock,
                           std::u16string storage_volume_name, std::function<void(char)> on_letter)
    : host_(host),
      registry_(registry),
      clock_(clock),
      storage_volume_name_(std::move(storage_volume_name)),
      on_letter_(std::move(on_letter)) {}

int DriveLetters::IndexOfLetter(char letter) {
  if (letter >= 'A' && letter <= 'Z') return letter - 'A';
  if (letter >= 'a' && letter <= 'z') return letter - 'a';
  return -1;
}

char DriveLetters::letter() const {
  uint8_t index = drive_index_.load();
  return index <= kLastLetter ? static_cast<char>('A' + index) : 0;
}

std::u16string DriveLetters::host_volume_name() const {
  std::lock_guard lock(mu_);
  return host_volume_name_;
}

std::string DriveLetters::VolumeRecordName(std::u16string_view volume_name) {
  std::string name = platform::Utf16ToUtf8(volume_name);
  if (!name.empty() && name.back() == '\\') name.pop_back();
  if (name.size() > 1 && name[1] == '\\') name[1] = '?';
  return name;
}

std::string DriveLetters::StorageRecordData() const { return Utf16Le(storage_volume_name_); }

bool DriveLetters::TryBeginSearch() {
  int32_t expected = 0;
  return search_flag_.compare_exchange_strong(expected, 1);
}

int DriveLetters::RememberedIndex() {
  if (registry_ == nullptr) return -1;
  const std::string data = StorageRecordData();
  for (int index = 0; index <= kLastLetter; ++index) {
    uint32_t type = 0;
    std::string value;
    if (registry_->QueryValue(kMountedDevicesKey, LetterRecordName(index), &type, &value) == 0 && value == data) {
      return index;
    }
  }
  return -1;
}

// Plays the part of the mount manager: the storage's own record and its
// letter record, so that the letter stays reserved for this storage.
void DriveLetters::WriteRecords(uint8_t index) {
  if (registry_ == nullptr || storage_volume_name_.empty()) return;
  const std::string data = StorageRecordData();
  if (registry_->CreateKey(kMountedDevicesKey) != 0) return;
  registry_->SetValue(kMountedDevicesKey, VolumeRecordName(storage_volume_name_), platform::REG_BINARY, data);
  // The letter now belongs to this storage alone.
  for (int other = 0; other <= kLastLetter; ++other) {
    if (other == index) continue;
    uint32_t type = 0;
    std::string value;
    if (registry_->QueryValue(kMountedDevicesKey, LetterRecordName(other), &type, &value) == 0 && value == data) {
      registry_->DeleteValue(kMountedDevicesKey, LetterRecordName(other));
    }
  }
  registry_->SetValue(kMountedDevicesKey, LetterRecordName(index), platform::REG_BINARY, data);
}

void DriveLetters::AssignDriveLetter() {
  if (!TryBeginSearch()) return;
  int found = -1;
  const int remembered = RememberedIndex();
  for (int round = 0; round < kSearchRounds && found < 0; ++round) {
    if (round > 0) clock_->Sleep(kRoundMs);
    std::vector<std::string> drives;
    if (host_->MountPoints(&drives) == 0) {
      for (const std::string& drive : drives) {
        if (drive.size() == 2 && drive[1] == ':' && IndexOfLetter(drive[0]) >= 0) {
          found = IndexOfLetter(drive[0]);
          break;
        }
      }
    }
    // The remembered letter is given to the storage as the mount manager
    // would, unless another drive holds it now.
    if (found < 0 && remembered >= 0 && round == 0 &&
        (host_->LogicalDriveMask() & (1u << remembered)) == 0 &&
        host_->AddMountPoint(std::string{static_cast<char>('A' + remembered), ':'}) == 0) {
      found = remembered;
    }
  }
  if (found < 0) {
    // Letters reserved for other storages count as taken, so that an absent
    // unit finds its letter free when it comes back.
    uint32_t taken = host_->LogicalDriveMask();
    if (registry_ != nullptr) {
      const std::string data = StorageRecordData();
      for (int index = 0; index <= kLastLetter; ++index) {
        uint32_t type = 0;
        std::string value;
        if (registry_->QueryValue(kMountedDevicesKey, LetterRecordName(index), &type, &value) == 0 &&
            value != data) {
          taken |= 1u << index;
        }
      }
    }
    found = kLastLetter;
    for (int index = kFirstLetter; index <= kLastLetter; ++index) {
      if ((taken & (1u << index)) == 0) {
        found = index;
        break;
      }
    }
    drive_index_ = static_cast<uint8_t>(found);
    if (Win32Error err = host_->AddMountPoint(std::string{static_cast<char>('A' + found), ':'})) {
      KLOG_WARN("adding drive %c: failed (error %u); the letter is kept", 'A' + found, err);
    }
  }
  drive_index_ = static_cast<uint8_t>(found);
  std::u16string name;
  if (host_->VolumeNameForLetter(static_cast<char>('A' + found), &name) != 0) name.clear();
  {
    std::lock_guard lock(mu_);
    host_volume_name_ = name;
  }
  if (!name.empty()) WriteRecords(static_cast<uint8_t>(found));
  search_flag_ = 0;
  KLOG_INFO("storage has drive %c:", 'A' + found);
  if (on_letter_) on_letter_(static_cast<char>('A' + found));
}

void DriveLetters::RefreshDriveLetter() {
  if (!TryBeginSearch()) return;
  const std::u16string own = host_volume_name();
  const uint32_t mask = host_->LogicalDriveMask();
  for (int index = 0; index <= kLastLetter && !own.empty(); ++index) {
    if ((mask & (1u << index)) == 0) continue;
    std::u16string name;
    if (host_->VolumeNameForLetter(static_cast<char>('A' + index), &name) == 0 &&
        platform::EqualNoCase(name, own)) {
      drive_index_ = static_cast<uint8_t>(index);
      break;
    }
  }
  search_flag_ = 0;
}

void DriveLetters::SaveLetterRecord() {
  for (int round = 0; round < kSaveWaitRounds && drive_index_ == kNoLetter; ++round) clock_->Sleep(kRoundMs);
  search_flag_ = 1;  // stays set: the worker is going away
  std::lock_guard lock(mu_);
  record_read_ = false;
  letter_belongs_ = false;
  if (host_volume_name_.empty() || registry_ == nullptr || registry_->OpenKey(kMountedDevicesKey) != 0) return;
  uint32_t type = 0;
  volume_record_.clear();
  if (registry_->QueryValue(kMountedDevicesKey, VolumeRecordName(host_volume_name_), &type, &volume_record_) != 0) {
    volume_record_.clear();  // a missing record reads as length 0
  }
  if (volume_record_.size() > kMaxRecordBytes) volume_record_.resize(kMaxRecordBytes);
  record_read_ = true;
  const uint8_t index = drive_index_;
  if (index > kLastLetter) return;
  std::string letter_record;
  if (registry_->QueryValue(kMountedDevicesKey, LetterRecordName(index), &type, &letter_record) == 0 &&
      letter_record == volume_record_) {
    letter_belongs_ = true;
  }
}

void DriveLetters::RestoreLetterRecord() {
  std::lock_guard lock(mu_);
  if (!record_read_ || registry_ == nullptr || registry_->OpenKey(kMountedDevicesKey) != 0) return;
  std::vector<std::string> names;
  if (registry_->EnumValues(kMountedDevicesKey, &names) == 0) {
    for (const std::string& name : names) {
      if (name.empty() || name[0] != '#') continue;
      uint32_t type = 0;
      std::string data;
      if (registry_->QueryValue(kMountedDevicesKey, name, &type, &data) == 0 && data == volume_record_) {
        registry_->DeleteValue(kMountedDevicesKey, name);
      }
    }
  }
  const uint8_t index = drive_index_;
  if (letter_belongs_ && index <= kLastLetter) {
    registry_->SetValue(kMountedDevicesKey, LetterRecordName(index), platform::REG_BINARY, volume_record_);
  }
}

DriveLetters* FindByLetter(const std::vector<DriveLetters*>& units, char letter) {
  const int index = DriveLetters::IndexOfLetter(letter);
  if (index < 0) return nullptr;
  for (DriveLetters* unit : units) {
    if (unit != nullptr && unit->drive_index() == index) return unit;
  }
  return nullptr;
}

}  // namespace kelva::volume
