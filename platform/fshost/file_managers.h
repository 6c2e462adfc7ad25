// File managers: the programs that get "cannot make" instead of "disk full"
// when the magazine is full, so that they show the user a plain refusal
// instead of offering to free space on a disk that is not theirs.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace kelva::platform {

// The image names of the file managers: KELVA_FILE_MANAGERS (names separated
// by commas or spaces) when set, else explorer.exe and the common Linux file
// managers (nautilus, nemo, caja, dolphin, thunar, pcmanfm, pcmanfm-qt, spacefm).
std::vector<std::string> FileManagerImages();

// True when the part of image_path after its last "/" or "\" is one of names,
// compared without regard to case.
bool IsFileManagerImage(std::string_view image_path, const std::vector<std::string>& names);

}  // namespace kelva::platform
