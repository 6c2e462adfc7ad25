#include "service/volume/catalog_search.h"

#include <string>

#include "service/storage/disc_engine.h"
#include "service/unit/unit_commands.h"
#include "service/unit/unit_controller.h"

namespace kelva::volume {

namespace {

char16_t Digit(uint32_t d) { return u"0123456789ABCDEF"[d & 0xF]; }

std::u16string Hex(uint32_t value, int digits) {
  std::u16string s(static_cast<size_t>(digits), u'0');
  for (int i = digits - 1; i >= 0; --i, value >>= 4) s[static_cast<size_t>(i)] = Digit(value);
  return s;
}

std::u16string Decimal(uint32_t value, int digits) {
  std::u16string s(static_cast<size_t>(digits), u'0');
  for (int i = digits - 1; i >= 0; --i, value /= 10) s[static_cast<size_t>(i)] = static_cast<char16_t>(u'0' + value % 10);
  return s;
}

// One field of `count` digits in `base` (its first digit at most first_max),
// between `before` and `after`. Digits are tried from the highest down with "?"
// for the positions to their right. Without backtracking the first digit that
// matches is kept; with it a digit whose completion accept() refuses gives way
// to the next lower one. True with *out when a value was settled.
struct FieldSearch {
  const PatternExists& exists;
  std::u16string before;
  int count;
  uint32_t base;
  uint32_t first_max;
  std::u16string after;
  bool backtrack;
  std::function<bool(uint32_t)> accept;  // may be empty

  bool Run(uint32_t* out) { return Step(u"", 0, out); }

  bool Step(const std::u16string& digits, uint32_t value, uint32_t* out) {
    const int remaining = count - static_cast<int>(digits.size());
    if (remaining == 0) {
      if (accept && !accept(value)) return false;
      *out = value;
      return true;
    }
    const uint32_t top = digits.empty() ? first_max : base - 1;
    for (int64_t d = top; d >= 0; --d) {
      const std::u16string next = digits + Digit(static_cast<uint32_t>(d));
      const std::u16string pattern = before + next + std::u16string(static_cast<size_t>(remaining - 1), u'?') + after;
      if (!exists(pattern)) continue;
      if (Step(next, value * base + static_cast<uint32_t>(d), out)) return true;
      if (!backtrack) return false;
    }
    return false;
  }
};

}  // namespace

uint32_t HighestNumberOnDisc(const PatternExists& exists, uint8_t disc) {
  uint32_t l1 = 0;
  if (!FieldSearch{exists, u"", 3, 16, 3, u"", false, {}}.Run(&l1)) return 0;
  const std::u16string first = Hex(l1, 3) + u"\\";
  uint32_t l2 = 0;
  if (!FieldSearch{exists, first, 3, 16, 3, u"", false, {}}.Run(&l2)) return l1 << 20;
  // The name: the disc's high digit, then (disc << 30) | number in eight digits,
  // of which the top five are fixed by the disc and the two levels.
  const uint32_t high = (static_cast<uint32_t>(disc & 3) << 30) | (l1 << 20) | (l2 << 10);
  const std::u16string prefix =
      first + Hex(l2, 3) + u"\\" + Digit((disc >> 2) & 0xF) + Hex(high >> 12, 5);
  uint32_t low = 0;
  if (!FieldSearch{exists, prefix, 3, 16, 15, u"*", false, {}}.Run(&low)) return (l1 << 20) | (l2 << 10);
  return ((l1 << 20) | (l2 << 10) | (low & 0x3FF)) + 1;
}

uint32_t HighestNumberInCache(const PatternExists& exists) {
  uint32_t result = 0;
  uint32_t l1 = 0;
  const bool found = FieldSearch{exists, u"", 3, 16, 3, u"", true, [&](uint32_t level1) {
                                   const std::u16string first = Hex(level1, 3) + u"\\";
                                   uint32_t l2 = 0;
                                   return FieldSearch{exists, first, 3, 16, 3, u"", true, [&](uint32_t level2) {
                                                        // Any disc digit, any kind.
                                                        const std::u16string names =
                                                            first + Hex(level2, 3) + u"\\??????";
                                                        uint32_t low = 0;
                                                        if (!FieldSearch{exists, names, 3, 16, 15, u"*", true, {}}
                                                                 .Run(&low)) {
                                                          return false;
                                                        }
                                                        result = (level1 << 20) | (level2 << 10) | (low & 0x3FF);
                                                        return true;
                                                      }}
                                       .Run(&l2);
                                 }}
                         .Run(&l1);
  return found ? result + 1 : 0;
}

bool FindNewestCatalog(const PatternExists& exists, uint32_t* number) {
  uint32_t folder = 0;
  if (!FieldSearch{exists, u"STRUCT\\", 4, 10, 9, u"", false, {}}.Run(&folder)) return false;
  for (int64_t i = folder; i >= 0; --i) {
    const std::u16string name = Decimal(static_cast<uint32_t>(i), 4);
    uint32_t last = 0;
    if (FieldSearch{exists, u"STRUCT\\" + name + u"\\" + name, 3, 10, 9, u".DB", false, {}}.Run(&last)) {
      *number = static_cast<uint32_t>(i) * 1000 + last;
      return true;
    }
  }
  return false;
}

uint32_t VolumeIdFromTime(const platform::SystemTime& t) {
  uint32_t v = (static_cast<uint32_t>(t.wHour) << 8) + t.wMinute + t.wYear;
  v = ((v << 8) + t.wSecond + t.wMonth) << 8;
  return v + t.wMilliseconds / 10u + t.wDay;
}

namespace {

bool IsHexFolderName(std::u16string_view name) {
  if (name.size() != 3) return false;
  for (char16_t c : name) {
    if (!((c >= u'0' && c <= u'9') || (c >= u'A' && c <= u'F') || (c >= u'a' && c <= u'f'))) return false;
  }
  return true;
}

bool EqualsNoCase(std::u16string_view a, std::u16string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    char16_t x = a[i], y = b[i];
    if (x >= u'a' && x <= u'z') x = static_cast<char16_t>(x - 32);
    if (y >= u'a' && y <= u'z') y = static_cast<char16_t>(y - 32);
    if (x != y) return false;
  }
  return true;
}

}  // namespace

CatalogLocation LocateCatalog(ICatalogProbe& probe) {
  CatalogLocation loc;
  uint8_t disc = probe.CurrentDisc();
  loc.disc = disc;
  if (disc == 255) return loc;
  probe.LoadDisc(disc);
  const PatternExists exists = [&](std::u16string_view p) { return probe.Exists(p); };
  loc.next_file = HighestNumberOnDisc(exists, disc);
  for (;;) {
    loc.disc = disc;
    uint32_t number = 0;
    if (FindNewestCatalog(exists, &number)) {
      platform::FileTime time = 0;
      if (probe.CatalogTime(disc, number, &time) == 0) {
        loc.found = true;
        loc.number = number;
        loc.time = time;
      } else if (!probe.UnitAnswers()) {
        loc.fatal = true;
      }
      return loc;
    }
    // No catalog: only what this system writes may be on the disc.
    bool foreign = false;
    const bool listed = probe.EnumerateRoot([&](std::u16string_view name, bool is_folder) {
      const bool ours = is_folder ? (EqualsNoCase(name, u"STRUCT") || IsHexFolderName(name))
                                  : EqualsNoCase(name, u"CLEAN");
      if (!ours) foreign = true;
    });
    if (listed && foreign) {
      loc.fatal = true;
      return loc;
    }
    if (disc == 0) return loc;
    --disc;
    probe.LoadDisc(disc);
  }
}

// ---- CUnitCatalogProbe ----

// The magazine's current disc: the newest disc prepared since the magazine was
// identified (found from the magazine's own record at identification), not the
// disc that happens to be in the drive. After reads from earlier discs the
// drive can hold one that lies before the newest catalog, and a search from
// there (it only goes back) would open an older catalog and lose every later
// change.
uint8_t CUnitCatalogProbe::CurrentDisc() {
  const uint8_t prepared = controller_->HighestPreparedSlot();
  return prepared != unit::kNoSlot ? prepared : controller_->CurrentSlot();
}

platform::Win32Error CUnitCatalogProbe::LoadDisc(uint8_t disc) {
  // Through the engine, which keeps track of the disc in the drive.
  storage::DiscFileInfo info;
  const platform::Win32Error e = engine_->LookupDiscFile(storage::CK_DB, disc, 0, &info);
  return e == 5 || e == 2 || e == 3 ? 0 : e;
}

bool CUnitCatalogProbe::Exists(std::u16string_view pattern) {
  for (int waited = 0; !controller_->IsReady() && waited < 60; ++waited) controller_->clock().Sleep(1000);
  return controller_->Exists(pattern);
}

bool CUnitCatalogProbe::EnumerateRoot(const std::function<void(std::u16string_view, bool)>& visit) {
  auto trampoline = [](const std::u16string& name, uint32_t attributes, void* context) -> int {
    (*static_cast<const std::function<void(std::u16string_view, bool)>*>(context))(name, (attributes & 0x10) != 0);
    return 1;
  };
  return controller_->EnumerateRoot(trampoline, const_cast<std::function<void(std::u16string_view, bool)>*>(&visit));
}

platform::Win32Error CUnitCatalogProbe::CatalogTime(uint8_t disc, uint32_t number, platform::FileTime* out) {
  engine_->SetCurrentDisc(disc);
  storage::DiscFileInfo info;
  const platform::Win32Error e = engine_->LookupDiscFile(storage::CK_DB, disc, number, &info);
  if (e == 0) *out = info.last_write;
  return e;
}

bool CUnitCatalogProbe::UnitAnswers() {
  const uint32_t status = unit::TestUnitReady(controller_->device());
  // A status without SCSI status or sense is the pass-through's own error.
  return status == 0 || (status >> 16) != 0;
}

}  // namespace kelva::volume
