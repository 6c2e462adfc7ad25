// Small helpers shared by the UDF file system's sources: FILETIME <-> UDF
// timestamp conversion with microsecond precision, path splitting and name checks.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "platform/errors.h"
#include "platform/filetime.h"
#include "platform/udf/file_descriptors.h"
#include "platform/udf/timestamp.h"

namespace kelva::udf {

inline constexpr char kFsImplementationId[] = "*MERIDANSTORIX";
inline constexpr uint8_t kFsOsClass = 6;
inline constexpr uint8_t kFsOsIdentifier = 0;
// The longest extent a 30-bit length can describe in whole 2048-byte blocks.
inline constexpr uint32_t kMaxExtentBlocks = 0x3FFFF800u / 2048u;

// A UTC timestamp (type 1, zone offset 0) of `ft`, exact to the microsecond.
Timestamp TimestampFromFileTime(platform::FileTime ft);
// 0 when the timestamp is not a valid date.
platform::FileTime FileTimeFromTimestamp(const Timestamp& t);

// Splits a volume path at "\" and "/", dropping empty components.
std::vector<std::u16string> SplitVolumePath(std::u16string_view path);

// 0 when `name` can name a file or folder; 123 for an empty name, "." or "..",
// or one holding a separator, a wildcard or a control character; 206 when its
// recorded form is longer than 255 bytes.
platform::Win32Error CheckName(std::u16string_view name);

// Lays a folder's identifiers out one after the other so that no 16-byte tag
// crosses a block boundary (required on write-once media, kept on every medium):
// where one would, the identifier before it grows by its implementation use
// field. An empty field becomes our 32-byte implementation identifier, which
// moves the next tag 16 to 28 bytes into the next block; a field in use grows by
// the bytes missing to the block's end. Returns the folder's length in bytes.
size_t PadFileIdentifiers(std::vector<FileIdentifierDescriptor>* fids);

// True when an implementation use field is padding of ours (it starts with our
// implementation identifier); such padding is dropped and laid out again at
// every write-back of the folder.
bool IsOwnFidPadding(const std::vector<uint8_t>& implementation_use);

}  // namespace kelva::udf
