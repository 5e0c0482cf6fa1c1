#include "exchange/venue_client/venue_copy.h"

#include <cstring>

#include "app/venue_slot.h"

namespace venue_client {
namespace {

using pelvarine::venue::Slot;

Slot SlotAt(const ClientImage& client) {
  Slot slot{};
  std::memcpy(slot.bytes, client.bytes.data() + client.slot_offset, sizeof slot.bytes);
  return slot;
}

bool Fail(std::string* problem, const std::string& why) {
  *problem = why;
  return false;
}

}  // namespace

bool LoadClient(std::string bytes, ClientImage* client, std::string* problem) {
  namespace venue = pelvarine::venue;
  client->bytes = std::move(bytes);
  if (!ParsePeImage(client->bytes, &client->pe, problem)) return false;
  const PeSection* found = nullptr;
  for (const PeSection& section : client->pe.sections)
    if (section.name == venue::kSectionName) found = &section;
  if (found == nullptr)
    return Fail(problem, "is not a Pelvarine client: it has no venue slot (no section " +
                             std::string(venue::kSectionName) + ")");
  if (found->raw_size < venue::kSlotSize || found->virtual_size < venue::kSlotSize ||
      found->raw_offset > client->bytes.size() || client->bytes.size() - found->raw_offset < venue::kSlotSize)
    return Fail(problem, "has a venue slot that is missing or cut short");
  client->slot_offset = found->raw_offset;
  switch (venue::CheckSlot(SlotAt(*client))) {
    case venue::SlotState::kGood:
      return true;
    case venue::SlotState::kNoMarker:
      return Fail(problem,
                  "has a venue section without the slot's marker: not a Pelvarine client this command knows");
    case venue::SlotState::kUnknownVersion:
      return Fail(problem, "has a venue slot of another layout version (this command writes version " +
                               std::to_string(venue::kVersion) + ")");
    case venue::SlotState::kDamaged:
      break;
  }
  return Fail(problem,
              "has a damaged venue slot (its check value does not match): start again from the built client");
}

VenueSettings ReadSettings(const ClientImage& client) {
  Slot slot = SlotAt(client);
  return VenueSettings{pelvarine::venue::AddressText(slot), pelvarine::venue::HomePageText(slot)};
}

bool StampSettings(ClientImage* client, const VenueSettings& settings, std::string* problem) {
  namespace venue = pelvarine::venue;
  if (const char* why = venue::HostProblem(settings.address.c_str(), venue::kAddressField))
    return Fail(problem, "address '" + settings.address + "' " + why);
  if (const char* why = venue::HostProblem(settings.home_page.c_str(), venue::kHomePageField))
    return Fail(problem, "home-page host '" + settings.home_page + "' " + why);
  if (client->pe.certificate_size != 0)
    return Fail(problem,
                "the input is signed and its signature would no longer match: stamp the unsigned client "
                "and sign the copy (--sign)");
  Slot slot = venue::MakeSlot(settings.address.c_str(), settings.home_page.c_str());
  client->bytes.replace(client->slot_offset, sizeof slot.bytes, reinterpret_cast<const char*>(slot.bytes),
                        sizeof slot.bytes);
  StoreChecksum(&client->bytes, client->pe.checksum_offset);
  return true;
}

}  // namespace venue_client
