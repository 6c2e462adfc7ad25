// Times the metadata repair's searches over the whole range of a 100 GB sparse
// write-once image: a metadata piece that is nowhere on the disc (the block
// search reads every 32-sector unit from the metadata track to the end), and a
// lost file set descriptor and root without a copy (the FSD/root search reads
// the same range top down in 8192-sector windows). Every track is reported full,
// so that both searches run to the end of the disc; nothing is written.
#include <chrono>
#include <cstdio>
#include <filesystem>

#include "platform/log.h"
#include "service/udf/image_drive.h"
#include "service/udf/metadata_repair.h"
#include "tests/service/udf/udf_damage.h"

namespace fs = std::filesystem;
using namespace kelva::udf;

namespace {

// Every track full and every write refused: the searches cover the whole disc.
class FullDisc : public UdfDriveWrapper {
 public:
  using UdfDriveWrapper::UdfDriveWrapper;
  uint32_t ReadTrackInformation(uint32_t n, TrackInfo* info) override {
    const uint32_t status = target()->ReadTrackInformation(n, info);
    info->nextWritable = kNoAddress;
    info->freeBlocks = 0;
    return status;
  }
  uint32_t Write10(uint32_t, uint16_t, const uint8_t*) override { return 0x02072700; }
};

double Seconds(std::chrono::steady_clock::time_point since) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
}

}  // namespace

int main(int argc, char** argv) {
  kelva::platform::SetLogProgram("udf_repair_bench");
  const fs::path dir = argc > 1 ? fs::path(argv[1]) : fs::temp_directory_path() / "kelva-repair-bench";
  fs::remove_all(dir);
  fs::create_directories(dir);
  const fs::path image = dir / "r.img";
  {
    ImageDrive drive;
    if (drive.Open(image, ImageMedia::kBdR, 0, true) || !FormatDisc(drive)) return 1;
    kelva::udf::testing::UdfDamage d(drive);
    std::vector<ShortAd> ads = d.MetaAds();
    uint32_t blocks = 0;
    for (const ShortAd& a : ads) blocks += a.length / 2048;
    ads.push_back({32 * 2048, ExtentType::kAllocatedNotRecorded, 0x00F00000});
    if (!d.SetMetaAds(ads, 0, blocks + 32)) return 1;
    d.Zero(d.volume().partitionStart + d.MapMeta(0));
    d.Zero(d.volume().partitionStart + d.MapMeta(1));
  }
  ImageDrive drive;
  if (drive.Open(image, ImageMedia::kBdR, 0, false)) return 1;
  FullDisc full(&drive);
  MetadataRepair repair(full, [](const std::string& m) { std::fputs(m.c_str(), stdout); });
  if (!repair.Open() || !repair.LoadMap()) return 1;
  uint32_t sectors = drive.sectors();
  auto start = std::chrono::steady_clock::now();
  const bool found = repair.SearchMetadataBlock(32);
  const double block_search = Seconds(start);
  start = std::chrono::steady_clock::now();
  const int fsd = repair.RecoverFsdAndRoot();
  const double fsd_search = Seconds(start);
  std::printf("100 GB BD-R image, %u sectors\n", sectors);
  std::printf("block search, full range:     %8.2f s (%.0f MB/s), found %d\n", block_search,
              sectors * 2048.0 / 1e6 / block_search, found);
  std::printf("FSD/root search, full range:  %8.2f s (%.0f MB/s), found %d\n", fsd_search,
              sectors * 2048.0 / 1e6 / fsd_search, fsd);
  fs::remove_all(dir);
  return 0;
}
