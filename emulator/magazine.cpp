#include "emulator/magazine.h"

#include <cstdio>
#include <cstring>
#include <sstream>

namespace kelva::emulator {

namespace fs = std::filesystem;
using platform::Win32Error;

namespace {

constexpr const char* kManifestName = "magazine.txt";
constexpr const char* kManifestHeader = "kelva-magazine 1";

std::string Hex(const uint8_t* p, size_t n) {
  static const char* digits = "0123456789abcdef";
  std::string out;
  for (size_t i = 0; i < n; ++i) {
    out += digits[p[i] >> 4];
    out += digits[p[i] & 15];
  }
  return out;
}

bool Unhex(const std::string& text, uint8_t* out, size_t n) {
  if (text.size() != 2 * n) return false;
  for (size_t i = 0; i < n; ++i) {
    unsigned v = 0;
    if (std::sscanf(text.c_str() + 2 * i, "%2x", &v) != 1) return false;
    out[i] = static_cast<uint8_t>(v);
  }
  return true;
}

fs::path ImagePath(const fs::path& dir, int slot) {
  char name[48];
  std::snprintf(name, sizeof name, "disc%02d.img", slot);
  return dir / name;
}

fs::path InfoPath(const fs::path& dir, int slot, int kind) {
  char name[48];
  std::snprintf(name, sizeof name, "disc%02d-info%d.bin", slot, kind);
  return dir / name;
}

}  // namespace

uint8_t CapacityCodeFromGigabytes(uint32_t gigabytes) {
  switch (gigabytes) {
    case 300: return 1;
    case 600: return 2;
    case 1200: return 3;
    default: return 0;
  }
}

uint64_t ProductDiscSectors(uint8_t capacity_code) {
  switch (capacity_code) {
    case 1: return 12219392;  // 25 GB single layer
    case 2: return 24438784;  // 50 GB dual layer
    case 3: return 48878592;  // 100 GB triple layer
    default: return 0;
  }
}

Win32Error Magazine::Create(const fs::path& dir, const MagazineSpec& spec) {
  if (platform::FileExists(dir / kManifestName)) return platform::ERROR_ALREADY_EXISTS;
  if (spec.type != kTypeRewritable && spec.type != kTypeRecordable) return platform::ERROR_INVALID_PARAMETER;
  const uint64_t sectors = spec.disc_sectors != 0 ? spec.disc_sectors : ProductDiscSectors(spec.capacity_code);
  if (sectors < 1024 || sectors > 0xFFFFFFF0ull) return platform::ERROR_INVALID_PARAMETER;
  if (Win32Error e = platform::CreateDirectoryChain(dir)) return e;
  Magazine m;
  m.dir_ = dir;
  m.type = spec.type;
  m.capacity_code = spec.capacity_code;
  m.disc_sectors = sectors;
  m.id = spec.id;
  m.label = spec.label;
  m.write_protect = spec.write_protect;
  for (SimDisc& disc : m.discs) disc.profile = spec.type == kTypeRewritable ? kProfileBdRe : kProfileBdR;
  for (int slot = 0; slot < kSlotCount; ++slot) {
    platform::File image;
    if (Win32Error e = platform::File::Open(ImagePath(dir, slot), platform::kAccessReadWrite,
                                            platform::Disposition::kCreateAlways, &image)) {
      return e;
    }
    // Sparse: the size is set, no sector is allocated until written.
    if (Win32Error e = image.Truncate(sectors * kSectorSize)) return e;
  }
  m.dirty_ = true;
  return m.Save();
}

Win32Error Magazine::Open(const fs::path& dir) {
  std::string text;
  if (Win32Error e = platform::ReadWholeFile(dir / kManifestName, &text)) {
    return e == platform::ERROR_PATH_NOT_FOUND ? platform::ERROR_FILE_NOT_FOUND : e;
  }
  std::istringstream in(text);
  std::string line;
  if (!std::getline(in, line) || line != kManifestHeader) return platform::ERROR_FILE_CORRUPT;
  dir_ = dir;
  for (SimDisc& disc : discs) disc = SimDisc{};
  bool ok = true;
  while (ok && std::getline(in, line)) {
    if (line.empty()) continue;
    std::istringstream ls(line);
    std::string key;
    ls >> key;
    unsigned v = 0;
    std::string s;
    if (key == "type") {
      ok = static_cast<bool>(ls >> std::hex >> v);
      type = static_cast<uint8_t>(v);
    } else if (key == "capacity") {
      ok = static_cast<bool>(ls >> v);
      capacity_code = static_cast<uint8_t>(v);
    } else if (key == "disc_sectors") {
      ok = static_cast<bool>(ls >> disc_sectors);
    } else if (key == "id") {
      ok = (ls >> s) && Unhex(s, id.data(), id.size());
    } else if (key == "label") {
      ok = (ls >> s) && Unhex(s, label.data(), label.size());
    } else if (key == "write_protect") {
      ok = static_cast<bool>(ls >> v);
      write_protect = v != 0;
    } else if (key == "current_disc") {
      ok = static_cast<bool>(ls >> v) && v < kSlotCount;
      current_disc = static_cast<uint8_t>(v);
    } else if (key == "memo_flag") {
      ok = static_cast<bool>(ls >> v);
      memo_flag = v != 0;
    } else if (key == "memo_number") {
      ok = static_cast<bool>(ls >> v);
      memo_number = static_cast<uint16_t>(v & 0x7FFF);
    } else if (key == "memo") {
      ok = (ls >> s) && Unhex(s, memo.data(), memo.size());
    } else if (key == "format_counter") {
      ok = static_cast<bool>(ls >> v);
      format_counter = static_cast<uint16_t>(v);
    } else if (key == "disc") {
      unsigned slot = 0, profile = 0, formatted = 0, status = 0;
      uint32_t p0 = 0, p1 = 0, p2 = 0;
      ok = static_cast<bool>(ls >> slot >> std::hex >> profile >> std::dec >> formatted >> status >> p0 >> p1 >> p2) &&
           slot < kSlotCount && status <= 2;
      if (ok) {
        SimDisc& d = discs[slot];
        d.profile = static_cast<uint16_t>(profile);
        d.formatted = formatted != 0;
        d.status = static_cast<uint8_t>(status);
        d.pow[0] = p0;
        d.pow[1] = p1;
        d.pow[2] = p2;
      }
    } else if (key == "track") {
      unsigned slot = 0, nwa_valid = 0;
      SimTrack t;
      ok = static_cast<bool>(ls >> slot >> t.start >> t.size >> t.next_writable >> nwa_valid) && slot < kSlotCount;
      t.nwa_valid = nwa_valid != 0;
      if (ok) ok = t.End() >= t.start && t.End() <= disc_sectors && t.next_writable >= t.start &&
                   t.next_writable <= t.End();
      if (ok) discs[slot].tracks.push_back(t);
    }
  }
  if (!ok || disc_sectors == 0 || disc_sectors > 0xFFFFFFF0ull) return platform::ERROR_FILE_CORRUPT;
  for (int slot = 0; slot < kSlotCount; ++slot) {
    for (int kind = 0; kind < 2; ++kind) {
      std::string block;
      if (platform::ReadWholeFile(InfoPath(dir, slot, kind), &block) == 0) {
        discs[slot].info[kind].assign(block.begin(), block.end());
      }
    }
    images_[slot].Close();
  }
  dirty_ = false;
  return platform::ERROR_SUCCESS;
}

Win32Error Magazine::Save() {
  if (!dirty_) return platform::ERROR_SUCCESS;
  std::ostringstream out;
  out << kManifestHeader << "\n";
  char buf[64];
  std::snprintf(buf, sizeof buf, "type %02x\n", type);
  out << buf;
  out << "capacity " << unsigned(capacity_code) << "\n";
  out << "disc_sectors " << disc_sectors << "\n";
  out << "id " << Hex(id.data(), id.size()) << "\n";
  out << "label " << Hex(label.data(), label.size()) << "\n";
  out << "write_protect " << (write_protect ? 1 : 0) << "\n";
  out << "current_disc " << unsigned(current_disc) << "\n";
  out << "memo_flag " << (memo_flag ? 1 : 0) << "\n";
  out << "memo_number " << memo_number << "\n";
  out << "memo " << Hex(memo.data(), memo.size()) << "\n";
  out << "format_counter " << format_counter << "\n";
  for (int slot = 0; slot < kSlotCount; ++slot) {
    const SimDisc& d = discs[slot];
    std::snprintf(buf, sizeof buf, "disc %d %04x %d %d ", slot, d.profile, d.formatted ? 1 : 0, d.status);
    out << buf << d.pow[0] << " " << d.pow[1] << " " << d.pow[2] << "\n";
    for (const SimTrack& t : d.tracks) {
      out << "track " << slot << " " << t.start << " " << t.size << " " << t.next_writable << " "
          << (t.nwa_valid ? 1 : 0) << "\n";
    }
  }
  const fs::path manifest = dir_ / kManifestName;
  const fs::path temp = dir_ / "magazine.txt.new";
  if (Win32Error e = platform::WriteWholeFile(temp, out.str())) return e;
  if (Win32Error e = platform::MoveFile(temp, manifest, true)) return e;
  for (int slot = 0; slot < kSlotCount; ++slot) {
    for (int kind = 0; kind < 2; ++kind) {
      const auto& block = discs[slot].info[kind];
      const fs::path path = InfoPath(dir_, slot, kind);
      if (block.empty()) {
        if (platform::FileExists(path)) platform::DeleteFile(path);
        continue;
      }
      std::string_view view(reinterpret_cast<const char*>(block.data()), block.size());
      if (Win32Error e = platform::WriteWholeFile(path, view)) return e;
    }
  }
  dirty_ = false;
  return platform::ERROR_SUCCESS;
}

Win32Error Magazine::OpenImage(int slot) {
  if (images_[slot].IsOpen()) return platform::ERROR_SUCCESS;
  const fs::path path = ImagePath(dir_, slot);
  if (Win32Error e = platform::File::Open(path, platform::kAccessReadWrite, platform::Disposition::kOpenAlways,
                                          &images_[slot])) {
    return e;
  }
  uint64_t size = 0;
  images_[slot].Size(&size);
  if (size < disc_sectors * kSectorSize) images_[slot].Truncate(disc_sectors * kSectorSize);
  return platform::ERROR_SUCCESS;
}

Win32Error Magazine::ReadSectors(int slot, uint32_t lba, uint32_t count, void* buffer) {
  if (Win32Error e = OpenImage(slot)) return e;
  uint32_t done = 0;
  const uint64_t length = uint64_t{count} * kSectorSize;
  if (Win32Error e = images_[slot].ReadAt(uint64_t{lba} * kSectorSize, buffer, static_cast<uint32_t>(length), &done)) {
    return e;
  }
  // A short read past the end of a truncated image reads as unwritten sectors.
  if (done < length) std::memset(static_cast<uint8_t*>(buffer) + done, 0, length - done);
  return platform::ERROR_SUCCESS;
}

Win32Error Magazine::WriteSectors(int slot, uint32_t lba, uint32_t count, const void* buffer) {
  if (Win32Error e = OpenImage(slot)) return e;
  return images_[slot].WriteAllAt(uint64_t{lba} * kSectorSize, buffer, count * kSectorSize);
}

}  // namespace kelva::emulator
