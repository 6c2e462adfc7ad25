// The UDF file system fed damaged volumes: a small formatted volume holding a
// few folders and files is patched with the fuzzer's bytes, then mounted (read-
// only and writable), walked, read, checked and written to. Shared by the
// libFuzzer target and its replay test.
#pragma once

#include <cstdint>
#include <cstring>
#include <functional>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "platform/udf/bytes.h"
#include "platform/udf/memory_sector_device.h"
#include "platform/udf/udf_file.h"
#include "platform/udf/udf_file_system.h"
#include "service/udf/sector_drive.h"
#include "service/udf/udf_format.h"

namespace kelva::udf::fuzzing {

inline constexpr uint32_t kFuzzSectors = 4096;  // 8 MiB

// The codes a damaged volume may answer with.
inline bool ExpectedError(platform::Win32Error e) {
  return e == platform::ERROR_UNRECOGNIZED_VOLUME || e == platform::ERROR_LOG_CORRUPTION_DETECTED ||
         e == platform::ERROR_FILE_CORRUPT || e == platform::ERROR_CRC ||
         e == platform::ERROR_FILE_NOT_FOUND || e == platform::ERROR_PATH_NOT_FOUND ||
         e == platform::ERROR_DISK_FULL || e == platform::ERROR_WRITE_PROTECT ||
         e == platform::ERROR_DIRECTORY || e == platform::ERROR_ACCESS_DENIED ||
         e == platform::ERROR_FILE_EXISTS || e == platform::ERROR_ALREADY_EXISTS ||
         e == platform::ERROR_INVALID_PARAMETER || e == platform::ERROR_WRITE_FAULT;
}

inline const std::vector<uint8_t>& BaseImage() {
  static const std::vector<uint8_t> image = [] {
    MemorySectorDevice dev(kFuzzSectors);
    SectorDrive drive(&dev);
    platform::TestClock clock;
    if (!FormatDisc(drive, clock)) return std::vector<uint8_t>{};
    std::unique_ptr<UdfFileSystem> fs;
    if (UdfFileSystem::Mount(&dev, {}, &fs)) return std::vector<uint8_t>{};
    fs->CreateFolder(u"STRUCT");
    fs->CreateFolder(u"STRUCT\\0000");
    fs->CreateFolder(u"000");
    for (int i = 0; i < 12; ++i) {
      std::unique_ptr<UdfFile> f;
      const std::u16string name = u"000\\f" + std::u16string(1, static_cast<char16_t>(u'a' + i));
      if (fs->Open(name, UdfCreate::kCreateNew, true, &f)) continue;
      std::vector<uint8_t> data(static_cast<size_t>(i) * 1500 + 1, static_cast<uint8_t>(i));
      f->WriteAt(0, data.data(), data.size());
    }
    fs->Dismount();
    return dev.Image();
  }();
  return image;
}

// The base image with the fuzzer's patches: repeated {offset (32-bit, modulo the
// image size), length byte, that many bytes}.
inline std::vector<uint8_t> Patched(const uint8_t* data, size_t size) {
  std::vector<uint8_t> image = BaseImage();
  if (image.empty()) return image;
  size_t at = 0;
  while (at + 5 <= size) {
    const size_t offset = Get32(data + at) % image.size();
    const size_t length = data[at + 4];
    at += 5;
    for (size_t i = 0; i < length && at < size; ++i, ++at)
      image[(offset + i) % image.size()] = data[at];
  }
  return image;
}

struct WalkResult {
  platform::Win32Error mount = 0;  // of the writable mount
  size_t entries = 0;
  size_t problems = 0;
  std::set<platform::Win32Error> errors;
};

// Mounts the image, walks every folder, reads every file, checks the volume and
// writes to it. Bounded: at most `max_entries` entries are visited.
inline WalkResult Walk(const std::vector<uint8_t>& image, size_t max_entries = 2000) {
  WalkResult r;
  for (bool read_only : {true, false}) {
    MemorySectorDevice dev(kFuzzSectors);
    dev.Load(image);
    std::unique_ptr<UdfFileSystem> fs;
    UdfMountOptions o;
    o.readOnly = read_only;
    const platform::Win32Error e = UdfFileSystem::Mount(&dev, o, &fs);
    if (!read_only) r.mount = e;
    if (e) {
      r.errors.insert(e);
      continue;
    }
    std::vector<uint8_t> buf(65536);
    std::function<void(const std::u16string&, int)> walk = [&](const std::u16string& folder, int depth) {
      if (depth > 24 || r.entries > max_entries) return;
      std::vector<UdfFileInfo> list;
      if (platform::Win32Error err = fs->Enumerate(folder, &list)) {
        r.errors.insert(err);
        return;
      }
      for (const auto& info : list) {
        if (++r.entries > max_entries) return;
        const std::u16string path = folder.empty() ? info.name : folder + u"\\" + info.name;
        if (info.attributes & kAttrDirectory) {
          walk(path, depth + 1);
          continue;
        }
        std::unique_ptr<UdfFile> f;
        if (platform::Win32Error err = fs->Open(path, UdfCreate::kOpenExisting, false, &f)) {
          r.errors.insert(err);
          continue;
        }
        for (uint64_t at = 0; at < f->Size() && at < (4u << 20); at += buf.size()) {
          size_t done = 0;
          if (platform::Win32Error err = f->ReadAt(at, buf.data(), buf.size(), &done)) {
            r.errors.insert(err);
            break;
          }
        }
      }
    };
    walk(u"", 0);
    std::vector<std::string> problems;
    r.problems += fs->Check(&problems);
    if (!read_only) {
      std::unique_ptr<UdfFile> f;
      platform::Win32Error err = fs->Open(u"000\\new", UdfCreate::kCreateNew, true, &f);
      if (!err) {
        std::vector<uint8_t> data(10000, 7);
        err = f->WriteAt(0, data.data(), data.size());
        if (!err) err = f->SetEndOfFile(3000);
        f.reset();
      }
      if (err) r.errors.insert(err);
      if (platform::Win32Error fe = fs->CreateFolder(u"fz")) r.errors.insert(fe);
      if (platform::Win32Error fe = fs->Delete(u"000\\fc")) r.errors.insert(fe);
      if (platform::Win32Error fe = fs->Dismount()) r.errors.insert(fe);
    }
  }
  return r;
}

}  // namespace kelva::udf::fuzzing
