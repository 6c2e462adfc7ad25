#include "platform/udf/entity_id.h"

#include <algorithm>
#include <cstring>

#include "platform/udf/bytes.h"

namespace kelva::udf {

std::string EntityId::Identifier() const {
  const auto end = std::find(identifier.begin(), identifier.end(), 0);
  return std::string(identifier.begin(), end);
}

EntityId MakeEntityId(std::string_view id) {
  EntityId e;
  std::memcpy(e.identifier.data(), id.data(), std::min(id.size(), e.identifier.size()));
  return e;
}

EntityId MakeImplementationId(std::string_view id, uint8_t os_class, uint8_t os_identifier) {
  EntityId e = MakeEntityId(id);
  e.identifierSuffix[0] = os_class;
  e.identifierSuffix[1] = os_identifier;
  return e;
}

EntityId MakeDomainId(uint16_t udf_revision, uint8_t domain_flags) {
  EntityId e = MakeEntityId(kDomainOstaCompliant);
  Put16(e.identifierSuffix.data(), udf_revision);
  e.identifierSuffix[2] = domain_flags;
  return e;
}

EntityId MakeUdfId(std::string_view id, uint16_t udf_revision, uint8_t os_class,
                   uint8_t os_identifier) {
  EntityId e = MakeEntityId(id);
  Put16(e.identifierSuffix.data(), udf_revision);
  e.identifierSuffix[2] = os_class;
  e.identifierSuffix[3] = os_identifier;
  return e;
}

uint16_t SuffixRevision(const EntityId& id) { return Get16(id.identifierSuffix.data()); }

void EncodeEntityId(uint8_t* p, const EntityId& id) {
  p[0] = id.flags;
  std::memcpy(p + 1, id.identifier.data(), id.identifier.size());
  std::memcpy(p + 24, id.identifierSuffix.data(), id.identifierSuffix.size());
}

EntityId DecodeEntityId(const uint8_t* p) {
  EntityId id;
  id.flags = p[0];
  std::memcpy(id.identifier.data(), p + 1, id.identifier.size());
  std::memcpy(id.identifierSuffix.data(), p + 24, id.identifierSuffix.size());
  return id;
}

}  // namespace kelva::udf
