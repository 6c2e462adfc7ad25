// The searches a volume runs when it opens a magazine: the highest file number
// present in a tree named like the cache files ("%03X\%03X\" then a nine-digit
// hexadecimal name), the newest structure catalog ("STRUCT\%04d\%07d.DB") on a
// disc, and the catalog search across the discs from the current disc back to
// disc 0.
//
// Every search asks only whether some name matches a wildcard pattern ("?" one
// character, "*" any run), one digit at a time from the most significant, so a
// tree of any size costs a few dozen probes. The disc side is an ICatalogProbe:
// the unit's disc volume in service, a set of names in tests.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "platform/errors.h"
#include "platform/filetime.h"

namespace kelva::storage {
class CDiscEngine;
}
namespace kelva::unit {
class UnitController;
}

namespace kelva::volume {

// True when some name matches the pattern ("\" separated, relative).
using PatternExists = std::function<bool(std::u16string_view pattern)>;

// The next free file number of the files on one disc: one more than the highest
// number recorded there, 0 when it holds none. The names carry the disc's digits
// ((disc >> 2) & 0xF, then (disc << 30) | number as eight digits). A level that
// exists with nothing below it gives the bits found so far, without the 1.
uint32_t HighestNumberOnDisc(const PatternExists& exists, uint8_t disc);

// The same over a cache folder, where files of every disc and kind lie side by
// side: any disc digit and extension match, and a level with nothing below it
// is passed over for the next lower one.
uint32_t HighestNumberInCache(const PatternExists& exists);

// The newest structure catalog below "STRUCT\": the highest four-digit folder i,
// then for i and each lower folder down to 0 the highest "%04d%03d.DB" in it.
// True with *number = i * 1000 + those digits when one is found.
bool FindNewestCatalog(const PatternExists& exists, uint32_t* number);

// The volume identifier made from a UTC time when no random one can be had:
// ((((hour << 8) + minute + year) << 8) + second + month) << 8, plus
// milliseconds / 10, plus day, in 32 bits.
uint32_t VolumeIdFromTime(const platform::SystemTime& utc);

// What the catalog search needs from the unit and its discs.
class ICatalogProbe {
 public:
  virtual ~ICatalogProbe() = default;
  // The magazine's current disc as the controller knows it (255 unknown).
  virtual uint8_t CurrentDisc() = 0;
  // Loads disc into the drive unless it is there already; 0 or an error.
  virtual platform::Win32Error LoadDisc(uint8_t disc) = 0;
  // Whether a name on the disc in the drive matches pattern.
  virtual bool Exists(std::u16string_view pattern) = 0;
  // Calls visit(name, is_folder) for every entry of the disc's root; false when
  // the root cannot be listed.
  virtual bool EnumerateRoot(const std::function<void(std::u16string_view name, bool is_folder)>& visit) = 0;
  // Makes disc the disc being written and reads the last-write time of the
  // structure catalog `number` on it. 0 or an error.
  virtual platform::Win32Error CatalogTime(uint8_t disc, uint32_t number, platform::FileTime* out) = 0;
  // TEST UNIT READY: false when the unit does not answer at all.
  virtual bool UnitAnswers() = 0;
};

struct CatalogLocation {
  uint8_t disc = 255;          // the disc the search ended on
  uint32_t number = 0;         // the newest catalog's number when found
  uint32_t next_file = 0;      // the next free file number on the current disc
  platform::FileTime time = 0; // the catalog's last-write time when found
  bool found = false;
  bool fatal = false;          // foreign content, or a unit that stopped answering
};

// LocateCatalog: from the current disc backwards to disc 0, the first disc that
// holds a structure catalog. A disc without one whose root holds anything but
// "STRUCT", three-hexadecimal-digit folders and the file "CLEAN" is fatal.
CatalogLocation LocateCatalog(ICatalogProbe& probe);

// ICatalogProbe over the unit controller and the volume's disc I/O engine.
class CUnitCatalogProbe : public ICatalogProbe {
 public:
  CUnitCatalogProbe(unit::UnitController* controller, storage::CDiscEngine* engine)
      : controller_(controller), engine_(engine) {}
  uint8_t CurrentDisc() override;
  platform::Win32Error LoadDisc(uint8_t disc) override;
  bool Exists(std::u16string_view pattern) override;
  bool EnumerateRoot(const std::function<void(std::u16string_view, bool)>& visit) override;
  platform::Win32Error CatalogTime(uint8_t disc, uint32_t number, platform::FileTime* out) override;
  bool UnitAnswers() override;

 private:
  unit::UnitController* controller_;
  storage::CDiscEngine* engine_;
};

}  // namespace kelva::volume
