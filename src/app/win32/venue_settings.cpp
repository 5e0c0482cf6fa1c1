#include "app/win32/venue_settings.h"

#include "app/venue_slot.h"
#include "build_config.h"

namespace pelvarine::win32 {
namespace {

using venue::HostProblem;
static_assert(
    HostProblem(PELVARINE_ADDRESS_SERVER_IP, venue::kAddressField) == nullptr,
    "PELVARINE_ADDRESS_SERVER_IP is neither IPv4 dotted text nor a host name of at most 63 characters");
static_assert(HostProblem(PELVARINE_HOME_PAGE_HOST, venue::kHomePageField) == nullptr,
              "PELVARINE_HOME_PAGE_HOST is not a host name of at most 127 characters");

// Volatile and in a section of its own: the compiler must read these bytes at run time, never fold the
// build's texts into the code, since pelvarine-client rewrites them in the file after the link.
#if defined(_MSC_VER)
#pragma section(".venue", read)
__declspec(allocate(".venue")) const
    volatile venue::Slot kVenueSlot = venue::MakeSlot(PELVARINE_ADDRESS_SERVER_IP, PELVARINE_HOME_PAGE_HOST);
#else
__attribute__((section(".venue"), used)) const volatile venue::Slot kVenueSlot =
    venue::MakeSlot(PELVARINE_ADDRESS_SERVER_IP, PELVARINE_HOME_PAGE_HOST);
#endif

}  // namespace

ClientConfig ReadVenueSettings() {
  venue::Slot slot{};
  for (size_t i = 0; i < venue::kSlotSize; ++i)
    slot.bytes[i] = kVenueSlot.bytes[i];
  if (venue::CheckSlot(slot) != venue::SlotState::kGood) return ClientConfig{};
  return ClientConfig{venue::AddressText(slot), venue::HomePageText(slot)};
}

}  // namespace pelvarine::win32
