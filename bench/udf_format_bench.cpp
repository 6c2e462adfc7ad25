// Times "kelva-disctool format" (format, then read the volume back and print it)
// on full-size discs: a 25 GB rewritable and a 100 GB write-once disc, each as a
// plain sparse image and as a disc of a magazine folder driven through the
// simulated unit in this process. The goal is under 2 seconds per format.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "platform/log.h"
#include "tools/disctool/disctool.h"

namespace fs = std::filesystem;

namespace {

double TimeFormat(const std::vector<std::string>& args) {
  FILE* sink = std::fopen("/dev/null", "w");
  const auto start = std::chrono::steady_clock::now();
  const int code = kelva::disctool::Run(args, sink, sink);
  const double ms =
      std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
  std::fclose(sink);
  if (code != 0) std::fprintf(stderr, "format failed (%d)\n", code);
  return ms;
}

}  // namespace

int main(int argc, char** argv) {
  const fs::path dir = argc > 1 ? fs::path(argv[1]) : fs::temp_directory_path() / "kelva-udf-bench";
  const int rounds = 3;
  kelva::platform::SetLogProgram("udf_format_bench");
  struct Case {
    const char* name;
    std::vector<std::string> args;
    fs::path cleanup;
  };
  const std::vector<Case> cases = {
      {"image BD-RE 25 GB", {"format", "--image", (dir / "re.img").string()}, dir / "re.img"},
      {"image BD-R 100 GB", {"format", "--image", (dir / "r.img").string(), "--media", "bd-r"}, dir / "r.img"},
      {"magazine BD-RE 25 GB", {"format", "--magazine", (dir / "mre").string(), "--slot", "0"}, dir / "mre"},
      {"magazine BD-R 100 GB",
       {"format", "--magazine", (dir / "mr").string(), "--slot", "0", "--media", "bd-r", "--size",
        "100103356416"},
       dir / "mr"},
  };
  std::printf("%-24s %10s %10s %10s\n", "kelva-disctool format", "min ms", "median ms", "max ms");
  for (const Case& c : cases) {
    std::vector<double> times;
    for (int i = 0; i < rounds; ++i) {
      fs::remove_all(c.cleanup);
      fs::create_directories(dir);
      times.push_back(TimeFormat(c.args));  // a new, blank disc every round
    }
    std::sort(times.begin(), times.end());
    std::printf("%-24s %10.1f %10.1f %10.1f\n", c.name, times.front(), times[times.size() / 2],
                times.back());
    fs::remove_all(c.cleanup);
  }
  fs::remove_all(dir);
  return 0;
}
