// A simulated unit with a fresh small magazine in a temporary folder.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <memory>
#include <string>

#include "emulator/magazine.h"
#include "emulator/sim_unit.h"

namespace kelva::emulator::testing {

inline std::filesystem::path FreshDir(const std::string& tag) {
  static std::atomic<int> counter{0};
  const auto dir = std::filesystem::path(::testing::TempDir()) /
                   ("kelva-" + tag + "-" + std::to_string(::getpid()) + "-" + std::to_string(counter++));
  std::filesystem::remove_all(dir);
  std::filesystem::create_directories(dir);
  return dir;
}

inline MagazineSpec SmallSpec(uint8_t type, uint64_t sectors = 4096) {
  MagazineSpec spec;
  spec.type = type;
  spec.capacity_code = 1;
  spec.disc_sectors = sectors;
  for (int i = 0; i < 12; ++i) spec.id[i] = static_cast<uint8_t>(0x10 + i);
  const char label[] = "ARCHIVE 01 ";
  std::copy(label, label + 11, spec.label.begin());
  return spec;
}

}  // namespace kelva::emulator::testing
