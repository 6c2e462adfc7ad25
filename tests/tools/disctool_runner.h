// Runs kelva-disctool in process and keeps what it printed, for the tool's tests.
#pragma once

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "tools/disctool/disctool.h"

namespace kelva::disctool::testing {

struct Result {
  int code;
  std::string out, err;
};

inline Result Tool(const std::vector<std::string>& args) {
  FILE* out = std::tmpfile();
  FILE* err = std::tmpfile();
  Result r{Run(args, out, err), "", ""};
  for (auto [f, s] : {std::pair{out, &r.out}, std::pair{err, &r.err}}) {
    std::rewind(f);
    char buf[4096];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) s->append(buf, n);
    std::fclose(f);
  }
  return r;
}

inline std::string ReadAll(const std::filesystem::path& p) {
  std::ifstream in(p, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

}  // namespace kelva::disctool::testing
