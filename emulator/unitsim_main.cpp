// kelva-unitsim: creates magazine folders, runs a simulated archive unit
// published in KELVA_RUN_DIR/units, and acts on a running unit by name.
#include <signal.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <functional>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "emulator/magazine.h"
#include "emulator/medium_marker.h"
#include "emulator/sim_unit.h"
#include "platform/log.h"
#include "platform/sim_device_source.h"
#include "platform/unit_socket.h"

using namespace kelva;
namespace fs = std::filesystem;

namespace {

constexpr int kExitOk = 0, kExitFailed = 1, kExitUsage = 2;

const char* kUsage =
    "usage: kelva-unitsim COMMAND [OPTIONS]\n"
    "\n"
    "  create --magazine DIR --type rewritable|recordable --capacity 300|600|1200\n"
    "         [--disc-size BYTES] [--id HEX24] [--label TEXT] [--write-protect]\n"
    "      Creates a magazine folder with twelve blank discs.\n"
    "  run [--magazine DIR] [--name NAME] [--norve] [--serial TEXT] [--device-number N]\n"
    "      [--speed BYTES_PER_SECOND] [--load-ms MS] [--unload-ms MS] [--state FILE]\n"
    "      Runs a unit (with DIR inserted) until Ctrl+C or 'unplug'; it is published as\n"
    "      KELVA_RUN_DIR/units/NAME.sock (NAME defaults to unit0), with NAME.medium beside\n"
    "      it while a magazine is in the unit. The device number N defaults to the\n"
    "      lowest number from 1000 on that no other running unit has; the serial to\n"
    "      KQX1 and N in seven digits.\n"
    "  status [--name NAME]             Shows the state of a running unit.\n"
    "  insert --magazine DIR [--name NAME]\n"
    "  eject [--force] [--name NAME]    The eject button (asks the host to let go while it\n"
    "                                   holds the magazine; --force pulls it anyway).\n"
    "  unplug [--name NAME]             Unplugs the unit; its program ends.\n"
    "  fault [--name NAME] ACTION ...   Injects a fault:\n"
    "      fail OPCODE COUNT KEY ASC ASCQ   next COUNT commands fail with that sense\n"
    "      delay OPCODE MS                  next command takes MS milliseconds\n"
    "      pull                             the magazine is pulled out\n"
    "      temperature CURRENT LIMIT\n"
    "      counter PAGE CONTROL OFFSET WIDTH VALUE\n"
    "      pow SLOT REPLACEMENTS MAP-ENTRIES UPDATES | exhaust-pow\n"
    "      disc-away | release | event VALUE | status-delay READS | status-bytes A B C\n"
    "\n"
    "Numbers may be given in hex with 0x. Exit status: 0 done, 1 failed, 2 usage error.\n";

int Usage(const char* message) {
  if (message) std::fprintf(stderr, "kelva-unitsim: %s\n", message);
  std::fputs(kUsage, stderr);
  return kExitUsage;
}

struct Args {
  std::map<std::string, std::string> options;
  std::vector<std::string> rest;
  bool Has(const std::string& k) const { return options.count(k) != 0; }
  std::string Get(const std::string& k, const std::string& def = "") const {
    auto it = options.find(k);
    return it == options.end() ? def : it->second;
  }
};

const std::vector<std::string> kFlags = {"--norve", "--force", "--write-protect", "--help"};

// GCC 12 at -O3 warns of overlapping copies inside the inlined std::string
// concatenation below, which cannot overlap (a known false positive).
#if defined(__GNUC__) && !defined(__clang__) && __GNUC__ == 12
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wrestrict"
#endif
bool Parse(int argc, char** argv, int from, Args* out, std::string* error) {
  for (int i = from; i < argc; ++i) {
    std::string a = argv[i];
    if (a.rfind("--", 0) == 0 && out->rest.empty()) {
      if (std::find(kFlags.begin(), kFlags.end(), a) != kFlags.end()) {
        out->options[a] = "1";
      } else if (i + 1 < argc) {
        out->options[a] = argv[++i];
      } else {
        *error = "option " + a + " needs a value";
        return false;
      }
    } else {
      out->rest.push_back(a);
    }
  }
  return true;
}
#if defined(__GNUC__) && !defined(__clang__) && __GNUC__ == 12
#pragma GCC diagnostic pop
#endif

bool ParseNumber(const std::string& s, uint64_t* v) {
  try {
    size_t used = 0;
    *v = std::stoull(s, &used, 0);
    return used == s.size() && !s.empty();
  } catch (...) {
    return false;
  }
}

int Create(const Args& args) {
  if (!args.Has("--magazine") || !args.Has("--type") || !args.Has("--capacity")) {
    return Usage("create needs --magazine, --type and --capacity");
  }
  emulator::MagazineSpec spec;
  const std::string type = args.Get("--type");
  if (type == "rewritable") spec.type = emulator::kTypeRewritable;
  else if (type == "recordable") spec.type = emulator::kTypeRecordable;
  else return Usage("--type must be rewritable or recordable");
  uint64_t gigabytes = 0;
  if (!ParseNumber(args.Get("--capacity"), &gigabytes)) return Usage("--capacity must be 300, 600 or 1200");
  spec.capacity_code = emulator::CapacityCodeFromGigabytes(static_cast<uint32_t>(gigabytes));
  if (spec.capacity_code == 0) return Usage("--capacity must be 300, 600 or 1200");
  if (spec.type == emulator::kTypeRewritable && spec.capacity_code == 3) {
    return Usage("rewritable magazines hold 300 or 600 GB");
  }
  if (args.Has("--disc-size")) {
    uint64_t bytes = 0;
    if (!ParseNumber(args.Get("--disc-size"), &bytes) || bytes % emulator::kSectorSize != 0 ||
        bytes / emulator::kSectorSize < 1024) {
      return Usage("--disc-size must be a multiple of 2048 and at least 2 MiB");
    }
    spec.disc_sectors = bytes / emulator::kSectorSize;
  }
  if (args.Has("--id")) {
    const std::string hex = args.Get("--id");
    if (hex.size() != 24) return Usage("--id must be 24 hexadecimal digits");
    for (int i = 0; i < 12; ++i) {
      unsigned v = 0;
      if (std::sscanf(hex.c_str() + 2 * i, "%2x", &v) != 1 || !std::isxdigit(hex[2 * i]) ||
          !std::isxdigit(hex[2 * i + 1])) {
        return Usage("--id must be 24 hexadecimal digits");
      }
      spec.id[i] = static_cast<uint8_t>(v);
    }
  } else {
    std::random_device random;
    for (auto& b : spec.id) b = static_cast<uint8_t>(random());
  }
  if (args.Has("--label")) {
    const std::string label = args.Get("--label");
    if (label.size() > 11) return Usage("--label holds at most 11 bytes");
    spec.label.fill(' ');
    std::memcpy(spec.label.data(), label.data(), label.size());
  }
  spec.write_protect = args.Has("--write-protect");
  const platform::Win32Error e = emulator::Magazine::Create(args.Get("--magazine"), spec);
  if (e != 0) {
    std::fprintf(stderr, "kelva-unitsim: cannot create %s: %s\n", args.Get("--magazine").c_str(),
                 platform::ErrorText(e).c_str());
    return kExitFailed;
  }
  std::fprintf(stderr, "kelva-unitsim: magazine created in %s\n", args.Get("--magazine").c_str());
  return kExitOk;
}

int Run(const Args& args) {
  const std::string name = args.Get("--name", "unit0");
  emulator::SimUnitOptions options;
  options.norve_identity = args.Has("--norve");
  if (args.Has("--serial")) options.serial = args.Get("--serial");
  uint64_t v = 0;
  if (args.Has("--device-number")) {
    if (!ParseNumber(args.Get("--device-number"), &v) || v > 0xFFFFFFFFu) return Usage("bad --device-number");
    options.device_number = static_cast<uint32_t>(v);
  }
  if (args.Has("--speed")) {
    if (!ParseNumber(args.Get("--speed"), &v)) return Usage("bad --speed");
    options.drive_bytes_per_second = v;
  }
  if (args.Has("--load-ms")) {
    if (!ParseNumber(args.Get("--load-ms"), &v)) return Usage("bad --load-ms");
    options.load_ms = static_cast<uint32_t>(v);
  }
  if (args.Has("--unload-ms")) {
    if (!ParseNumber(args.Get("--unload-ms"), &v)) return Usage("bad --unload-ms");
    options.unload_ms = static_cast<uint32_t>(v);
  }
  options.state_file = args.Has("--state") ? fs::path(args.Get("--state")) : platform::UnitsDir() / (name + ".state");

  // Signals are taken synchronously by the main thread.
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);

  // Units started at the same time choose their numbers one after the other:
  // the lock is held until this unit is published.
  const fs::path units = platform::UnitsDir();
  auto publishing = std::make_unique<platform::UnitPublishLock>(units);
  const fs::path socket = platform::UnitSocketPath(name);
  {
    // Checked before anything of the running unit's (its medium marker) is touched.
    std::unique_ptr<platform::ScsiDevice> running;
    if (platform::OpenUnitSocket(socket, &running) == platform::ERROR_SUCCESS) {
      std::fprintf(stderr, "kelva-unitsim: cannot publish %s: a unit of that name is running\n", socket.c_str());
      return kExitFailed;
    }
  }
  if (!args.Has("--device-number")) options.device_number = platform::FreeUnitDeviceNumber(units, 1000);
  // Units running side by side need serials of their own: the service keeps
  // each unit's files in a folder named after its serial.
  if (!args.Has("--serial")) {
    char serial[16];
    std::snprintf(serial, sizeof serial, "KQX1%07u", options.device_number % 10000000u);
    options.serial = serial;
  }

  emulator::SimUnit unit(options);
  if (args.Has("--magazine")) {
    if (platform::Win32Error e = unit.InsertMagazine(args.Get("--magazine"))) {
      std::fprintf(stderr, "kelva-unitsim: cannot open magazine %s: %s\n", args.Get("--magazine").c_str(),
                   platform::ErrorText(e).c_str());
      return kExitFailed;
    }
  }
  emulator::SimScsiDevice device(&unit);
  // The medium marker follows the unit between two looks at it; it is in
  // place before the unit is published, so that a unit with a medium arrives
  // with it.
  auto medium = std::make_unique<emulator::MediumMarker>(&unit, units, name);
  medium->Update();
  std::atomic<bool> unplugged{false};
  platform::UnitSocketServer server(&device, [&](const std::string& line, std::string* reply) {
    const platform::Win32Error e = unit.Control(line, reply);
    if (line.rfind("unplug", 0) == 0) unplugged = true;
    return e;
  });
  if (platform::Win32Error e = server.Start(socket)) {
    std::fprintf(stderr, "kelva-unitsim: cannot publish %s: %s\n", socket.c_str(),
                 e == platform::ERROR_ALREADY_EXISTS ? "a unit of that name is running"
                                                     : platform::ErrorText(e).c_str());
    return kExitFailed;
  }
  publishing.reset();
  KLOG_INFO("unit %s running on %s as device number %u", name.c_str(), socket.c_str(), options.device_number);
  const timespec tick{0, 100 * 1000 * 1000};
  while (!unplugged) {
    const int sig = sigtimedwait(&signals, nullptr, &tick);
    if (sig == SIGINT || sig == SIGTERM) break;
    medium->Update();
  }
  // The unit goes as a whole, the way an unplugged unit does: its socket
  // first, then its medium marker (whose removal then concerns no unit).
  server.Stop();
  medium.reset();
  unit.Flush();
  KLOG_INFO("unit %s stopped%s", name.c_str(), unplugged ? " (unplugged)" : "");
  return kExitOk;
}

int SendControl(const Args& args, const std::string& line) {
  const std::string name = args.Get("--name", "unit0");
  std::string reply;
  const platform::Win32Error e = platform::SendUnitControl(platform::UnitSocketPath(name), line, &reply);
  if (e == platform::ERROR_DEVICE_NOT_CONNECTED && reply.empty()) {
    std::fprintf(stderr, "kelva-unitsim: no unit named %s is running\n", name.c_str());
    return kExitFailed;
  }
  if (e == platform::ERROR_SUCCESS) {
    std::fputs(reply.c_str(), stdout);
    return kExitOk;
  }
  std::fprintf(stderr, "kelva-unitsim: %s", reply.empty() ? (platform::ErrorText(e) + "\n").c_str() : reply.c_str());
  return e == platform::ERROR_INVALID_PARAMETER ? kExitUsage : kExitFailed;
}

}  // namespace

int main(int argc, char** argv) {
  platform::SetLogProgram("kelva-unitsim");
  if (argc < 2) return Usage(nullptr);
  const std::string command = argv[1];
  if (command == "--help" || command == "-h" || command == "help") {
    std::fputs(kUsage, stdout);
    return kExitOk;
  }
  Args args;
  std::string error;
  if (!Parse(argc, argv, 2, &args, &error)) return Usage(error.c_str());
  if (args.Has("--help")) {
    std::fputs(kUsage, stdout);
    return kExitOk;
  }
  if (command == "create") return args.rest.empty() ? Create(args) : Usage("create takes no arguments");
  if (command == "run") return args.rest.empty() ? Run(args) : Usage("run takes no arguments");
  if (command == "status" || command == "unplug") return SendControl(args, command);
  if (command == "insert") {
    if (!args.Has("--magazine")) return Usage("insert needs --magazine");
    return SendControl(args, "insert " + fs::absolute(args.Get("--magazine")).string());
  }
  if (command == "eject") return SendControl(args, args.Has("--force") ? "eject force" : "eject");
  if (command == "fault") {
    if (args.rest.empty()) return Usage("fault needs an action");
    std::string line;
    for (const std::string& word : args.rest) line += (line.empty() ? "" : " ") + word;
    return SendControl(args, line);
  }
  return Usage(("unknown command " + command).c_str());
}
