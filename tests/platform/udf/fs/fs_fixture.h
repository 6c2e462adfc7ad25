// Shared fixtures of the UDF file system tests: formatted image files, discs of
// the simulated unit, and helpers that write and read whole files.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "emulator/magazine.h"
#include "emulator/sim_unit.h"
#include "platform/scsi_device.h"
#include "platform/udf/sector_device.h"
#include "platform/udf/udf_file.h"
#include "platform/udf/udf_file_system.h"
#include "service/udf/drive_sector_device.h"
#include "service/udf/image_drive.h"
#include "service/udf/sector_drive.h"
#include "service/udf/udf_format.h"
#include "service/unit/unit_drive.h"

namespace kelva::udf::testing {

namespace fs = std::filesystem;

inline fs::path TestDir(const std::string& tag) {
  const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
  fs::path p = fs::temp_directory_path() /
               ("kelva-udffs-" + tag + "-" + std::to_string(::getpid()) + "-" +
                info->test_suite_name() + "-" + info->name());
  fs::remove_all(p);
  fs::create_directories(p);
  return p;
}

inline std::vector<uint8_t> Pattern(size_t size, uint32_t seed) {
  std::vector<uint8_t> v(size);
  std::mt19937 rng(seed);
  for (size_t i = 0; i < size; i += 4) {
    const uint32_t r = rng();
    for (size_t k = 0; k < 4 && i + k < size; ++k) v[i + k] = static_cast<uint8_t>(r >> (8 * k));
  }
  return v;
}

// Writes a whole new file (fails when it exists).
inline platform::Win32Error PutFile(UdfFileSystem& fs, std::u16string_view path,
                                    const std::vector<uint8_t>& data, size_t chunk = 1 << 20) {
  std::unique_ptr<UdfFile> f;
  if (auto e = fs.Open(path, UdfCreate::kCreateNew, true, &f)) return e;
  for (size_t at = 0; at < data.size(); at += chunk) {
    const size_t n = std::min(chunk, data.size() - at);
    if (auto e = f->WriteAt(at, data.data() + at, n)) return e;
  }
  return f->Close();
}

inline platform::Win32Error GetFile(UdfFileSystem& fs, std::u16string_view path,
                                    std::vector<uint8_t>* out) {
  std::unique_ptr<UdfFile> f;
  if (auto e = fs.Open(path, UdfCreate::kOpenExisting, false, &f)) return e;
  out->assign(f->Size(), 0);
  size_t done = 0;
  if (auto e = f->ReadAt(0, out->data(), out->size(), &done)) return e;
  if (done != out->size()) return platform::ERROR_HANDLE_EOF;
  return 0;
}

inline std::vector<std::string> Problems(UdfFileSystem& fs) {
  std::vector<std::string> p;
  fs.Check(&p);
  return p;
}

// A volume on a formatted image file, mounted and remounted at will.
class ImageVolume {
 public:
  ImageVolume(const fs::path& path, ImageMedia media, uint64_t bytes) : path_(path) {
    ImageDrive drive;
    EXPECT_EQ(drive.Open(path, media, bytes, true), 0u);
    EXPECT_TRUE(FormatDisc(drive));
  }
  platform::Win32Error Mount(bool read_only = false) {
    fs_.reset();
    dev_.reset();
    if (auto e = ImageSectorDevice::Open(path_, true, &dev_)) return e;
    UdfMountOptions o;
    o.readOnly = read_only;
    return UdfFileSystem::Mount(dev_.get(), o, &fs_);
  }
  void Release() {
    fs_.reset();
    dev_.reset();
  }
  UdfFileSystem& fs() { return *fs_; }
  const fs::path& path() const { return path_; }

 private:
  fs::path path_;
  std::unique_ptr<ImageSectorDevice> dev_;
  std::unique_ptr<UdfFileSystem> fs_;
};

// Records every WRITE(10) on its way to the simulated unit.
class WriteLog : public platform::ScsiDeviceWrapper {
 public:
  using ScsiDeviceWrapper::ScsiDeviceWrapper;
  platform::Win32Error Execute(const platform::ScsiCommand& c, platform::ScsiReply* r) override {
    if (c.cdb[0] == 0x2A) {
      if (before_write) before_write(writes.size());
      const uint32_t lba = (uint32_t{c.cdb[2]} << 24) | (uint32_t{c.cdb[3]} << 16) |
                           (uint32_t{c.cdb[4]} << 8) | c.cdb[5];
      const uint32_t count = (uint32_t{c.cdb[7]} << 8) | c.cdb[8];
      writes.emplace_back(lba, count);
    }
    return ScsiDeviceWrapper::Execute(c, r);
  }
  std::vector<std::pair<uint32_t, uint32_t>> writes;
  std::function<void(size_t)> before_write;  // told the number of writes so far
};

// A disc of a magazine in the simulated unit, formatted through the unit's
// command set and mounted through READ(10)/WRITE(10).
class SimVolume {
 public:
  SimVolume(const fs::path& dir, bool recordable) : dir_(dir), recordable_(recordable) {
    emulator::MagazineSpec spec;
    spec.type = recordable ? emulator::kTypeRecordable : emulator::kTypeRewritable;
    spec.capacity_code = 1;
    EXPECT_EQ(emulator::Magazine::Create(dir / "mag", spec), 0u);
    unit_ = std::make_unique<emulator::SimUnit>();
    EXPECT_EQ(unit_->InsertMagazine(dir / "mag"), 0u);
    sim_ = std::make_unique<emulator::SimScsiDevice>(unit_.get());
    log_ = std::make_unique<WriteLog>(sim_.get());
    drive_ = std::make_unique<unit::UnitDrive>(log_.get());
    EXPECT_TRUE(FormatDisc(*drive_));
    log_->writes.clear();
  }
  ~SimVolume() {
    fs_.reset();
    dev_.reset();
  }
  platform::Win32Error Mount(bool read_only = false) {
    fs_.reset();
    dev_ = std::make_unique<DriveSectorDevice>(drive_.get(), recordable_);
    UdfMountOptions o;
    o.readOnly = read_only;
    return UdfFileSystem::Mount(dev_.get(), o, &fs_);
  }
  void Drop() { fs_.reset(); }
  UdfFileSystem& fs() { return *fs_; }
  std::unique_ptr<UdfFileSystem>& fs_ptr() { return fs_; }
  emulator::SimUnit& unit() { return *unit_; }
  WriteLog& log() { return *log_; }
  IUdfDrive& drive() { return *drive_; }
  std::vector<SectorTrack> Tracks() {
    std::vector<SectorTrack> t;
    DriveSectorDevice(drive_.get(), true).ReadTracks(&t);
    return t;
  }

 private:
  fs::path dir_;
  bool recordable_;
  std::unique_ptr<emulator::SimUnit> unit_;
  std::unique_ptr<emulator::SimScsiDevice> sim_;
  std::unique_ptr<WriteLog> log_;
  std::unique_ptr<unit::UnitDrive> drive_;
  std::unique_ptr<DriveSectorDevice> dev_;
  std::unique_ptr<UdfFileSystem> fs_;
};

}  // namespace kelva::udf::testing
