// Names a magazine may hold. The discs are read on Windows too, so a name
// Windows cannot open is refused when it is made, whatever the computer that
// makes it. Shared by the mount and the volume.
#pragma once

#include <cstddef>
#include <string_view>

namespace kelva::platform {

// Longest name of one file or folder, in UTF-16 code units.
inline constexpr size_t kMaxFileNameLength = 255;

// True when name (one path component, no separators) is a name Windows can
// create: not empty, not "." or "..", at most kMaxFileNameLength units, no
// control character and none of < > : " / \ | ? *, no trailing dot or space,
// and not a reserved device name (CON, PRN, AUX, NUL, COM1-COM9, LPT1-LPT9,
// with or without an extension, in any case).
bool IsAllowedFileName(std::u16string_view name);

}  // namespace kelva::platform
