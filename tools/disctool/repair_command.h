// kelva-disctool repair: the metadata repair of a write-once disc without the
// service. The volume repair first; then every path that fails with a CRC error
// (23) or a damaged entry (1392) in a read-only walk of the tree (or only the
// paths given with --path) gets a file repair, the volume being mounted again
// after each success. One line per repair message, then a summary.
#pragma once

#include <cstdio>

#include "service/udf/udf_drive.h"
#include "tools/disctool/disctool.h"

namespace kelva::disctool {

// Returns the exit code: 0 when nothing is left to repair, 1 when damage is left
// or the repair failed.
int RunRepairCommand(const Options& options, udf::IUdfDrive& drive, FILE* out, FILE* err);

}  // namespace kelva::disctool
