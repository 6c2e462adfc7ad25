// Entity identifiers (ECMA-167 1/7.4, profiled by OSTA UDF 2.1.5): flags, a
// 23-byte identifier and an 8-byte suffix whose layout depends on the kind of
// identifier (domain, UDF or implementation).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace kelva::udf {

inline constexpr size_t kEntityIdSize = 32;

struct EntityId {
  uint8_t flags = 0;
  std::array<uint8_t, 23> identifier{};
  std::array<uint8_t, 8> identifierSuffix{};
  bool operator==(const EntityId&) const = default;

  // The identifier up to its first zero byte.
  std::string Identifier() const;
  bool Is(std::string_view id) const { return Identifier() == id; }
};

// Identifiers the volumes use.
inline constexpr std::string_view kDomainOstaCompliant = "*OSTA UDF Compliant";
inline constexpr std::string_view kUdfLvInfo = "*UDF LV Info";
inline constexpr std::string_view kUdfMetadataPartition = "*UDF Metadata Partition";
inline constexpr std::string_view kNsr03 = "+NSR03";

// An identifier without suffix ("+NSR03").
EntityId MakeEntityId(std::string_view id);
// Implementation identifier: suffix {OS class, OS identifier, 0...}.
EntityId MakeImplementationId(std::string_view id, uint8_t os_class, uint8_t os_identifier);
// Domain identifier "*OSTA UDF Compliant": suffix {revision (LE), domain flags}.
EntityId MakeDomainId(uint16_t udf_revision, uint8_t domain_flags = 0);
// UDF identifier ("*UDF LV Info", "*UDF Metadata Partition" ...): suffix
// {revision (LE), OS class, OS identifier}.
EntityId MakeUdfId(std::string_view id, uint16_t udf_revision, uint8_t os_class,
                   uint8_t os_identifier);

// The UDF revision held in a domain or UDF identifier suffix.
uint16_t SuffixRevision(const EntityId& id);

void EncodeEntityId(uint8_t* p, const EntityId& id);  // REQUIRES: 32 writable bytes
EntityId DecodeEntityId(const uint8_t* p);            // REQUIRES: 32 readable bytes

}  // namespace kelva::udf
