#include "tools/disctool/disctool.h"

#include <chrono>
#include <cinttypes>
#include <cstdlib>

#include "emulator/magazine.h"
#include "emulator/sim_unit.h"
#include "platform/log.h"
#include "platform/scsi_device.h"
#include "platform/unit_socket.h"
#include "service/udf/image_drive.h"
#include "service/unit/unit_drive.h"
#include "service/unit/unit_commands.h"
#include "tools/disctool/fs_commands.h"

namespace kelva::disctool {
namespace {

constexpr char kUsage[] =
    "usage: kelva-disctool COMMAND DISC [-v]\n"
    "commands:\n"
    "  format   write an empty UDF volume (2.50 on BD-RE, 2.60 on BD-R)\n"
    "  info     print the volume structure of the disc\n"
    "  ls [PATH]          list a folder (wildcards allowed in the last component)\n"
    "  get PATH DEST      copy a file or folder out of the volume\n"
    "  put SRC PATH       copy a file or folder into the volume\n"
    "  mkdir PATH         create a folder (and the folders above it)\n"
    "  rm PATH            delete a file or an empty folder\n"
    "  df                 free space of the volume\n"
    "  check              verify every folder, file entry and the space accounting\n"
    "disc:\n"
    "  --image FILE [--media bd-re|bd-r] [--size BYTES]\n"
    "                         a disc image (created, sparse, when missing)\n"
    "  --magazine DIR --slot N  a disc of a magazine folder (simulated unit in-process)\n"
    "  --unit NAME --slot N     a disc in a running simulated unit\n"
    "  --device /dev/sgN [--slot N]  the disc in a real unit's drive\n"
    "  --size also sets the disc size of a magazine folder created by format\n";

bool ParseNumber(const std::string& text, uint64_t* out) {
  if (text.empty()) return false;
  char* end = nullptr;
  errno = 0;
  const unsigned long long v = std::strtoull(text.c_str(), &end, 0);
  if (errno != 0 || *end != 0) return false;
  *out = v;
  return true;
}

std::string RevisionText(uint16_t rev) {
  char text[16];
  std::snprintf(text, sizeof(text), "%x.%02x", rev >> 8, rev & 0xFF);
  return text;
}

std::string Block(uint32_t v) { return v == udf::kNoAddress ? "none" : std::to_string(v); }

}  // namespace

bool ParseOptions(const std::vector<std::string>& args, Options* o, std::string* error) {
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    auto value = [&](std::string* out) {
      if (i + 1 >= args.size()) {
        *error = a + " needs a value";
        return false;
      }
      *out = args[++i];
      return true;
    };
    std::string v;
    if (a == "-v" || a == "--verbose") {
      o->verbose = true;
    } else if (a == "--image") {
      if (!value(&o->image)) return false;
    } else if (a == "--media") {
      if (!value(&o->media)) return false;
      if (o->media != "bd-re" && o->media != "bd-r") {
        *error = "--media must be bd-re or bd-r";
        return false;
      }
    } else if (a == "--size") {
      uint64_t n = 0;
      if (!value(&v)) return false;
      if (!ParseNumber(v, &n) || n < 64 * 1024 || n % 2048 != 0) {
        *error = "--size must be a multiple of 2048 bytes, at least 65536";
        return false;
      }
      o->size = n;
    } else if (a == "--magazine") {
      if (!value(&o->magazine)) return false;
    } else if (a == "--unit") {
      if (!value(&o->unit)) return false;
    } else if (a == "--device") {
      if (!value(&o->device)) return false;
    } else if (a == "--slot") {
      uint64_t n = 0;
      if (!value(&v)) return false;
      if (!ParseNumber(v, &n) || n > 11) {
        *error = "--slot must be 0 to 11";
        return false;
      }
      o->slot = static_cast<int>(n);
    } else if (!a.empty() && a[0] == '-') {
      *error = "unknown option " + a;
      return false;
    } else if (o->command.empty()) {
      o->command = a;
    } else if (IsFileCommand(o->command)) {
      o->operands.push_back(a);
    } else {
      *error = "unexpected argument " + a;
      return false;
    }
  }
  if (IsFileCommand(o->command) && !FileCommandOperandsOk(*o, error)) return false;
  if (o->command != "format" && o->command != "info" && !IsFileCommand(o->command)) {
    *error = o->command.empty() ? "no command given" : "unknown command " + o->command;
    return false;
  }
  const int discs = !o->image.empty() + !o->magazine.empty() + !o->unit.empty() + !o->device.empty();
  if (discs != 1) {
    *error = "name exactly one disc: --image, --magazine, --unit or --device";
    return false;
  }
  if ((!o->magazine.empty() || !o->unit.empty()) && o->slot < 0) {
    *error = "--magazine and --unit need --slot";
    return false;
  }
  return true;
}

namespace {

// A drive over the unit command set that owns what it talks through: the SCSI
// device and, for a magazine folder, the simulated unit running in this process.
class OwnedUnitDrive : public unit::UnitDrive {
 public:
  OwnedUnitDrive(std::unique_ptr<emulator::SimUnit> sim, std::unique_ptr<platform::ScsiDevice> device)
      : UnitDrive(device.get()), sim_(std::move(sim)), device_(std::move(device)) {}
  ~OwnedUnitDrive() override {
    device_.reset();
    sim_.reset();  // saves the magazine
  }
  platform::ScsiDevice* device() const { return device_.get(); }

 private:
  std::unique_ptr<emulator::SimUnit> sim_;
  std::unique_ptr<platform::ScsiDevice> device_;
};

// Brings the disc of `slot` into the drive and waits (up to 2 minutes) until the
// drive reports ready.
bool LoadSlot(platform::ScsiDevice* device, int slot, std::string* error) {
  unit::TestUnitReady(device);  // clears a pending unit attention
  const uint32_t status = unit::LoadSlot(device, static_cast<uint8_t>(slot));
  if (status != 0) {
    char text[96];
    std::snprintf(text, sizeof text, "loading slot %d failed, status 0x%08X", slot, status);
    *error = text;
    return false;
  }
  platform::Clock& clock = platform::RealClock();
  const uint64_t deadline = clock.NowMs() + 120000;
  while (unit::TestUnitReady(device) != 0) {
    if (clock.NowMs() > deadline) {
      *error = "the drive did not become ready";
      return false;
    }
    clock.Sleep(200);
  }
  return true;
}

std::unique_ptr<udf::IUdfDrive> OpenMagazine(const Options& o, std::string* error) {
  const std::filesystem::path dir = o.magazine;
  if (!std::filesystem::exists(dir / "magazine.txt")) {
    if (o.command != "format") {
      *error = o.magazine + ": no magazine folder";
      return nullptr;
    }
    emulator::MagazineSpec wanted;
    wanted.type = o.media == "bd-r" ? emulator::kTypeRecordable : emulator::kTypeRewritable;
    wanted.disc_sectors = o.size / 2048;
    if (platform::Win32Error e = emulator::Magazine::Create(dir, wanted)) {
      *error = o.magazine + ": cannot create a magazine: " + platform::ErrorText(e);
      return nullptr;
    }
  }
  auto sim = std::make_unique<emulator::SimUnit>();
  if (platform::Win32Error e = sim->InsertMagazine(dir)) {
    *error = o.magazine + ": " + platform::ErrorText(e);
    return nullptr;
  }
  auto device = std::make_unique<emulator::SimScsiDevice>(sim.get());
  if (!LoadSlot(device.get(), o.slot, error)) return nullptr;
  return std::make_unique<OwnedUnitDrive>(std::move(sim), std::move(device));
}

}  // namespace

std::unique_ptr<udf::IUdfDrive> OpenDrive(const Options& o, std::string* error) {
  if (!o.image.empty()) {
    auto drive = std::make_unique<udf::ImageDrive>();
    const udf::ImageMedia media = o.media == "bd-r" ? udf::ImageMedia::kBdR : udf::ImageMedia::kBdRe;
    const platform::Win32Error err = drive->Open(o.image, media, o.size, o.command == "format");
    if (err != 0) {
      *error = o.image + ": " + platform::ErrorText(err);
      return nullptr;
    }
    return drive;
  }
  if (!o.magazine.empty()) return OpenMagazine(o, error);
  std::unique_ptr<platform::ScsiDevice> device;
  platform::Win32Error err = 0;
  if (!o.unit.empty())
    err = platform::OpenUnitSocket(platform::UnitSocketPath(o.unit), &device);
  else
    err = platform::OpenSgDevice(o.device, &device);
  if (err != 0) {
    *error = (o.unit.empty() ? o.device : "unit " + o.unit) + ": " + platform::ErrorText(err);
    return nullptr;
  }
  if (o.slot >= 0 && !LoadSlot(device.get(), o.slot, error)) return nullptr;
  return std::make_unique<OwnedUnitDrive>(nullptr, std::move(device));
}

std::string DescribeVolume(const udf::VolumeStructure& vs) {
  char line[256];
  std::string out;
  auto add = [&](const char* fmt, auto... args) {
    std::snprintf(line, sizeof(line), fmt, args...);
    out += line;
  };
  add("revision          %s (minimum read revision %s)\n", RevisionText(vs.udfRevision).c_str(),
      RevisionText(vs.minimumReadRevision).c_str());
  add("volume            \"%s\"\n", vs.volumeIdentifier.c_str());
  add("volume set        \"%s\"\n", vs.volumeSetIdentifier.c_str());
  const udf::Timestamp& t = vs.recordingTime;
  int zone = t.typeAndTimezone & 0xFFF;
  if (zone & 0x800) zone -= 0x1000;
  add("recorded          %04d-%02u-%02u %02u:%02u:%02u (zone %+d min)\n", t.year, t.month, t.day,
      t.hour, t.minute, t.second, (t.typeAndTimezone >> 12) == 1 ? zone : 0);
  const char* access = vs.accessType == 4   ? "overwritable"
                       : vs.accessType == 0 ? "pseudo-overwritable"
                                            : "other";
  add("partition         start %u, length %u blocks, access type %u (%s)\n", vs.partitionStart,
      vs.partitionLength, vs.accessType, access);
  add("metadata file     block %u, mirror %u, bitmap %s\n", vs.metadataFileLocation,
      vs.metadataMirrorFileLocation, Block(vs.metadataBitmapFileLocation).c_str());
  add("integrity         at %u, %s\n", vs.integritySequenceLocation,
      vs.integrityType == 1 ? "closed" : "open");
  add("free / size       partition %s / %u, metadata %s / %u blocks\n",
      Block(vs.freeSpace[0]).c_str(), vs.size[0], Block(vs.freeSpace[1]).c_str(), vs.size[1]);
  add("contents          %u files, %u directories\n", vs.numberOfFiles, vs.numberOfDirectories);
  return out;
}

int Run(const std::vector<std::string>& args, FILE* out, FILE* err) {
  Options o;
  std::string error;
  if (!ParseOptions(args, &o, &error)) {
    std::fprintf(err, "kelva-disctool: %s\n%s", error.c_str(), kUsage);
    return 2;
  }
  platform::SetVerbose(o.verbose);
  std::unique_ptr<udf::IUdfDrive> drive = OpenDrive(o, &error);
  if (!drive) {
    std::fprintf(err, "kelva-disctool: %s\n", error.c_str());
    return 1;
  }
  if (IsFileCommand(o.command)) return RunFileCommand(o, *drive, out, err);
  if (o.command == "format") {
    const auto start = std::chrono::steady_clock::now();
    if (!udf::FormatDisc(*drive)) {
      std::fprintf(err, "kelva-disctool: formatting failed\n");
      return 1;
    }
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    std::fprintf(out, "formatted in %.3f s\n", seconds);
  }
  udf::VolumeStructure vs;
  if (!udf::ReadVolumeStructure(*drive, &vs)) {
    std::fprintf(err, "kelva-disctool: no UDF volume of this system on the disc\n");
    return 1;
  }
  std::fputs(DescribeVolume(vs).c_str(), out);
  return 0;
}

}  // namespace kelva::disctool
