// The file commands of kelva-disctool: list, copy out, copy in, make folders,
// remove, free space and a full consistency check of a disc's UDF volume,
// through the user-space UDF file system. Paths on the command line use "/".
#pragma once

#include <cstdio>
#include <string>

#include "service/udf/udf_drive.h"
#include "tools/disctool/disctool.h"

namespace kelva::disctool {

// True for ls, get, put, mkdir, rm, df and check.
bool IsFileCommand(const std::string& command);
// The number of operands the command takes is right.
bool FileCommandOperandsOk(const Options& options, std::string* error);
// Mounts the volume on `drive` and runs the command; returns the exit code.
int RunFileCommand(const Options& options, udf::IUdfDrive& drive, FILE* out, FILE* err);

}  // namespace kelva::disctool
