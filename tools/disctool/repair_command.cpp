#include "tools/disctool/repair_command.h"

#include <algorithm>
#include <deque>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "platform/errors.h"
#include "platform/text.h"
#include "platform/udf/udf_file.h"
#include "platform/udf/udf_file_system.h"
#include "service/udf/drive_sector_device.h"
#include "service/udf/metadata_repair.h"
#include "service/udf/udf_format.h"
#include "service/udf/volume_layout.h"
#include "service/unit/repair_log.h"
#include "tools/disctool/overlay_drive.h"

namespace kelva::disctool {

namespace pe = platform;

namespace {

constexpr size_t kMaxRepairs = 10000;

bool Repairable(pe::Win32Error e) { return e == pe::ERROR_CRC || e == pe::ERROR_FILE_CORRUPT; }

std::u16string VolumePathOf(const std::string& path) {
  std::u16string p = pe::Utf8ToUtf16(path);
  std::replace(p.begin(), p.end(), u'/', u'\\');
  while (!p.empty() && p.front() == u'\\') p.erase(p.begin());
  while (!p.empty() && p.back() == u'\\') p.pop_back();
  return p;
}

class RepairRun {
 public:
  RepairRun(const Options& o, udf::IUdfDrive& drive, FILE* out, FILE* err)
      : o_(o), drive_(drive), out_(out), err_(err) {}

  int Run() {
    udf::VolumeStructure vs;
    if (!udf::ReadVolumeStructure(drive_, &vs)) {
      std::fprintf(err_, "kelva-disctool: no UDF volume of this system on the disc\n");
      return 1;
    }
    if (o_.image.empty()) {
      std::vector<uint8_t> config(512);
      if (drive_.GetConfiguration(0, config) == 0)
        recordable_ = udf::CurrentProfileFromConfiguration(config) == udf::kProfileBdrSequential;
    }
    if (vs.udfRevision != udf::kRepairableRevision)
      std::fprintf(out_, "a UDF %x.%02x volume: its metadata is not repaired\n",
                   vs.udfRevision >> 8, vs.udfRevision & 0xFF);

    uint32_t written = 0;
    if (udf::RepairVolume(drive_, Sink(), &written)) ++repairs_;
    sectors_ += written;

    // Paths that fail, one repair each, until none is left or none helps.
    std::set<std::u16string> tried;
    for (size_t round = 0; round < kMaxRepairs; ++round) {
      std::u16string failing;
      if (!FindFailing(tried, &failing)) break;
      tried.insert(failing);
      written = 0;
      if (udf::RepairFile(drive_, failing, false, Sink(), &written)) ++repairs_;
      else unrepaired_.push_back(failing);
      sectors_ += written;
    }

    if (o_.closeIntegrity && udf::ReadVolumeStructure(drive_, &vs) && vs.integrityType != 1) {
      if (udf::CloseIntegrity(drive_)) {
        ++sectors_;
        std::fprintf(out_, "integrity closed\n");
      } else {
        std::fprintf(err_, "kelva-disctool: the integrity could not be closed\n");
      }
    }

    // What is left, as a reader sees it now.
    bool left = !unrepaired_.empty() || mountError_ != 0;
    for (const std::u16string& p : unrepaired_)
      std::fprintf(err_, "kelva-disctool: %s: still damaged\n", pe::Utf16ToUtf8(p).c_str());
    std::vector<std::string> problems;
    udf::DriveSectorDevice device(&drive_, recordable_);
    std::unique_ptr<udf::UdfFileSystem> fs;
    udf::UdfMountOptions mo;
    mo.readOnly = true;
    if (pe::Win32Error e = udf::UdfFileSystem::Mount(&device, mo, &fs)) {
      std::fprintf(err_, "kelva-disctool: the volume does not mount: %s\n", pe::ErrorText(e).c_str());
      left = true;
    } else {
      fs->Check(&problems);
      for (const std::string& p : problems) std::fprintf(err_, "kelva-disctool: %s\n", p.c_str());
      left = left || !problems.empty();
    }
    const bool open = udf::ReadVolumeStructure(drive_, &vs) && vs.integrityType != 1;
    std::fprintf(out_, "repairs: %zu, sectors written: %u, integrity: %s\n", repairs_, sectors_,
                 open ? "open" : "closed");
    return left ? 1 : 0;
  }

 private:
  udf::RepairSink Sink() {
    return [this](const std::string& m) {
      std::fputs(m.c_str(), out_);
      if (o_.log) unit::WriteRepairLog("%s", m.c_str());
    };
  }

  // Mounts the volume read-only and looks for a path failing with a repairable
  // error that was not tried yet.
  bool FindFailing(const std::set<std::u16string>& tried, std::u16string* failing) {
    udf::DriveSectorDevice device(&drive_, recordable_);
    std::unique_ptr<udf::UdfFileSystem> fs;
    udf::UdfMountOptions mo;
    mo.readOnly = true;
    mountError_ = udf::UdfFileSystem::Mount(&device, mo, &fs);
    if (mountError_) return false;
    auto fails = [&](const std::u16string& path, bool folder) {
      if (tried.count(path)) return false;
      if (folder) {
        std::vector<udf::UdfFileInfo> list;
        return Repairable(fs->Enumerate(path, &list));
      }
      std::unique_ptr<udf::UdfFile> f;
      return Repairable(fs->Open(path, udf::UdfCreate::kOpenExisting, false, &f));
    };
    if (!o_.repairPaths.empty()) {
      for (const std::string& p : o_.repairPaths) {
        const std::u16string path = VolumePathOf(p);
        udf::UdfFileInfo info;
        const pe::Win32Error e = fs->GetInfo(path, &info);
        const bool folder = e == 0 && (info.attributes & udf::kAttrDirectory);
        if ((Repairable(e) && !tried.count(path)) || (e == 0 && fails(path, folder))) {
          *failing = path;
          return true;
        }
      }
      return false;
    }
    std::deque<std::u16string> folders{u""};
    while (!folders.empty()) {
      const std::u16string folder = folders.front();
      folders.pop_front();
      std::vector<udf::UdfFileInfo> list;
      const pe::Win32Error e = fs->Enumerate(folder, &list);
      if (Repairable(e) && !folder.empty() && !tried.count(folder)) {
        *failing = folder;
        return true;
      }
      for (const udf::UdfFileInfo& i : list) {
        const std::u16string path = folder.empty() ? i.name : folder + u"\\" + i.name;
        if (i.attributes & udf::kAttrDirectory) {
          folders.push_back(path);
        } else if (fails(path, false)) {
          *failing = path;
          return true;
        }
      }
    }
    return false;
  }

  const Options& o_;
  udf::IUdfDrive& drive_;
  FILE* out_;
  FILE* err_;
  bool recordable_ = false;
  size_t repairs_ = 0;
  uint32_t sectors_ = 0;
  pe::Win32Error mountError_ = 0;
  std::vector<std::u16string> unrepaired_;
};

// Notes a write that the medium refused as write-protected (CHECK CONDITION
// with sense key DATA PROTECT), so that the run can say why nothing was repaired.
class ProtectWatch : public udf::UdfDriveWrapper {
 public:
  using UdfDriveWrapper::UdfDriveWrapper;
  uint32_t Write10(uint32_t lba, uint16_t blocks, const uint8_t* buffer) override {
    const uint32_t status = target()->Write10(lba, blocks, buffer);
    if ((status >> 24) == 0x02 && ((status >> 16) & 0x0F) == 0x07) refused_ = true;
    return status;
  }
  bool refused() const { return refused_; }

 private:
  bool refused_ = false;
};

}  // namespace

int RunRepairCommand(const Options& o, udf::IUdfDrive& drive, FILE* out, FILE* err) {
  if (!o.dryRun) {
    ProtectWatch watch(&drive);
    const int rc = RepairRun(o, watch, out, err).Run();
    if (!watch.refused()) return rc;
    std::fprintf(err, "kelva-disctool: the disc is write-protected: nothing could be repaired\n");
    return 1;
  }
  OverlayDrive overlay(&drive);
  const int rc = RepairRun(o, overlay, out, err).Run();
  for (const auto& [lba, count] : overlay.writes())
    std::fprintf(out, "would write %u sector%s at %u\n", count, count == 1 ? "" : "s", lba);
  return rc;
}

}  // namespace kelva::disctool
