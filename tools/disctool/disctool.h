// kelva-disctool: one disc (or disc image) without the service. The commands run
// against a drive chosen on the command line:
//   --image FILE [--media bd-re|bd-r] [--size BYTES]   a plain image file
//   --magazine DIR --slot N                             a magazine folder, simulated in-process
//   --unit NAME --slot N                                a running simulated unit
//   --device /dev/sgN                                   a real unit
#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "service/udf/udf_drive.h"
#include "service/udf/udf_format.h"

namespace kelva::disctool {

struct Options {
  std::string command;  // "format", "info"
  std::string image;
  std::string media = "bd-re";
  uint64_t size = 0;
  std::string magazine;
  std::string unit;
  std::string device;
  int slot = -1;
  bool verbose = false;
  bool force = false;  // put: replace files that exist
  std::vector<std::string> operands;  // paths of the file commands
  // repair
  std::vector<std::string> repairPaths;  // --path, repeatable; none: the whole tree
  bool dryRun = false;
  bool closeIntegrity = false;
  bool log = false;  // also append the messages to the repair log
};

// Parses argv; returns false (with a message in *error) for bad usage.
bool ParseOptions(const std::vector<std::string>& args, Options* options, std::string* error);

// Opens the drive the options name. Returns nullptr with a message in *error.
std::unique_ptr<udf::IUdfDrive> OpenDrive(const Options& options, std::string* error);

// The text `info` prints for a volume structure.
std::string DescribeVolume(const udf::VolumeStructure& vs);

// Runs the command; returns the process exit code (0 success, 1 failure, 2 usage).
int Run(const std::vector<std::string>& args, FILE* out, FILE* err);

}  // namespace kelva::disctool
