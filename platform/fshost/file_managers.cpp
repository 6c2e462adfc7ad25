#include "platform/fshost/file_managers.h"

#include <cstdlib>

#include "platform/text.h"

namespace kelva::platform {

std::vector<std::string> FileManagerImages() {
  const char* setting = std::getenv("KELVA_FILE_MANAGERS");
  if (setting == nullptr) {
    return {"explorer.exe", "nautilus", "nemo", "caja", "dolphin", "thunar", "pcmanfm", "pcmanfm-qt", "spacefm"};
  }
  std::vector<std::string> names;
  std::string current;
  for (const char* p = setting;; ++p) {
    if (*p == '\0' || *p == ',' || *p == ' ') {
      if (!current.empty()) names.push_back(current);
      current.clear();
      if (*p == '\0') break;
    } else {
      current.push_back(*p);
    }
  }
  return names;
}

bool IsFileManagerImage(std::string_view image_path, const std::vector<std::string>& names) {
  const size_t cut = image_path.find_last_of("/\\");
  const std::u16string image = Utf8ToUtf16(cut == std::string_view::npos ? image_path : image_path.substr(cut + 1));
  if (image.empty()) return false;
  for (const std::string& name : names) {
    if (EqualNoCase(image, Utf8ToUtf16(name))) return true;
  }
  return false;
}

}  // namespace kelva::platform
