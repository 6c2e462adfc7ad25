// An in-memory drive for the formatter's tests: a sparse sector store, a medium
// of either kind with its tracks, a log of the commands received, and faults to
// inject per command.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <functional>
#include <map>
#include <string>
#include <unordered_map>
#include <vector>

#include "platform/udf/bytes.h"
#include "service/udf/udf_drive.h"

namespace kelva::udf::testing {

inline constexpr uint32_t kFailStatus = 0x02030C00;

class FakeDrive : public IUdfDrive {
 public:
  FakeDrive(uint16_t profile, uint32_t last) : profile_(profile), last_(last) {
    tracks_ = {TrackInfo{0, last + 1, 0, last + 1}};
  }

  // ---- the medium -------------------------------------------------------
  uint16_t profile_;
  uint32_t last_;        // READ CAPACITY; 0 for an unformatted medium
  uint32_t formatted_last_ = 0;  // what READ CAPACITY reports after FORMAT UNIT
  bool formattable_ = true;
  std::vector<TrackInfo> tracks_;
  std::unordered_map<uint32_t, std::vector<uint8_t>> sectors_;

  // ---- what happened ----------------------------------------------------
  std::vector<std::string> log_;
  struct Write {
    uint32_t lba;
    uint16_t count;
    const uint8_t* buffer;
  };
  std::vector<Write> writes_;
  std::vector<uint32_t> reservations_;
  std::vector<uint8_t> format_codes_;

  // ---- faults: the command of that name fails while its count is above 0 --
  std::map<std::string, int> fail_;
  // Returns a status to fail WRITE(10) at this address with (0: no fault).
  std::function<uint32_t(uint32_t lba)> write_fault_;

  int Count(const std::string& name) const {
    return static_cast<int>(std::count(log_.begin(), log_.end(), name));
  }
  const uint8_t* Sector(uint32_t lba) const {
    auto it = sectors_.find(lba);
    return it == sectors_.end() ? nullptr : it->second.data();
  }
  void PutSector(uint32_t lba, const uint8_t* data) {
    sectors_[lba].assign(data, data + kSectorSize);
  }

  uint32_t TestUnitReady() override { return Run("TUR"); }

  uint32_t GetConfiguration(uint16_t feature, std::span<uint8_t> out) override {
    if (uint32_t s = Run("GETCONF")) return s;
    std::fill(out.begin(), out.end(), 0);
    std::vector<uint8_t> r(8, 0);
    if (feature == 0) {
      for (uint16_t p : {uint16_t{0x43}, uint16_t{0x42}, uint16_t{0x41}}) {
        if (r.size() == 8) r.insert(r.end(), {0, 0, 0x03, 12});
        r.insert(r.end(), {0, static_cast<uint8_t>(p), static_cast<uint8_t>(p == profile_), 0});
      }
    } else if (feature == 0x23) {
      r.insert(r.end(), {0x00, 0x23, static_cast<uint8_t>(formattable_ ? 1 : 0), 8});
      r.resize(20, 0);
    }
    PutBe32(r.data(), static_cast<uint32_t>(r.size() - 4));
    std::copy_n(r.begin(), std::min(r.size(), out.size()), out.begin());
    return 0;
  }

  uint32_t ReadCapacity(uint32_t* last, uint32_t* block_length) override {
    if (uint32_t s = Run("READCAP")) return s;
    *last = last_;
    *block_length = 2048;
    return 0;
  }

  uint32_t FormatUnit(uint8_t type_code) override {
    if (uint32_t s = Run("FORMAT")) return s;
    format_codes_.push_back(type_code);
    last_ = formatted_last_;
    tracks_ = {TrackInfo{0, last_ + 1, 0, last_ + 1}};
    return 0;
  }

  uint32_t SynchronizeCache() override { return Run("SYNC"); }
  uint32_t VendorSynchronize() override { return Run("VSYNC"); }

  uint32_t ReadDiscInformation(uint32_t* last_track) override {
    if (uint32_t s = Run("DISCINFO")) return s;
    *last_track = static_cast<uint32_t>(tracks_.size());
    return 0;
  }

  uint32_t ReadTrackInformation(uint32_t track, TrackInfo* info) override {
    if (uint32_t s = Run("TRACKINFO")) return s;
    if (track < 1 || track > tracks_.size()) return kFailStatus;
    *info = tracks_[track - 1];
    return 0;
  }

  uint32_t ReserveTrack(uint32_t address) override {
    if (uint32_t s = Run("RESERVE")) return s;
    auto it = std::find_if(tracks_.begin(), tracks_.end(), [&](const TrackInfo& t) {
      return address > t.start && address < t.start + t.size;
    });
    if (it == tracks_.end() || tracks_.size() >= 4) return kFailStatus;
    const uint32_t end = it->start + it->size;
    it->size = address - it->start;
    it->freeBlocks = it->nextWritable == kNoAddress ? 0 : address - it->nextWritable;
    if (it->nextWritable == address) it->nextWritable = kNoAddress;
    tracks_.insert(it + 1, TrackInfo{address, end - address, address, end - address});
    reservations_.push_back(address);
    return 0;
  }

  uint32_t Read10(uint32_t lba, uint16_t blocks, uint8_t* buffer) override {
    if (uint32_t s = Run("READ")) return s;
    if (uint64_t{lba} + blocks > uint64_t{last_} + 1) return 0x02052100;
    for (uint32_t i = 0; i < blocks; ++i) {
      const uint8_t* s = Sector(lba + i);
      if (s)
        std::memcpy(buffer + i * kSectorSize, s, kSectorSize);
      else
        std::memset(buffer + i * kSectorSize, 0, kSectorSize);
    }
    return 0;
  }

  uint32_t Write10(uint32_t lba, uint16_t blocks, const uint8_t* buffer) override {
    if (uint32_t s = Run("WRITE")) return s;
    if (write_fault_)
      if (uint32_t s = write_fault_(lba)) return s;
    if (uint64_t{lba} + blocks > uint64_t{last_} + 1) return 0x02052100;
    writes_.push_back({lba, blocks, buffer});
    for (uint32_t i = 0; i < blocks; ++i) {
      const uint8_t* s = buffer + i * kSectorSize;
      if (std::any_of(s, s + kSectorSize, [](uint8_t b) { return b != 0; }))
        PutSector(lba + i, s);
      else
        sectors_.erase(lba + i);
    }
    return 0;
  }

 private:
  uint32_t Run(const std::string& name) {
    log_.push_back(name);
    auto it = fail_.find(name);
    if (it != fail_.end() && it->second > 0) {
      --it->second;
      return kFailStatus;
    }
    return 0;
  }
};

}  // namespace kelva::udf::testing
