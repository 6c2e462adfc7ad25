// Win32 error codes as the errno values a FUSE reply carries. Every failure
// the volume reports through the mount is translated here and nowhere else.
#pragma once

#include "platform/errors.h"

namespace kelva::platform {

// The errno (positive) that tells a Linux program what the Win32 code means;
// 0 for ERROR_SUCCESS and EIO for codes without a closer meaning.
int Win32ToErrno(Win32Error code);

}  // namespace kelva::platform
