// A client executable as pelvarine-client sees it: its venue slot (src/app/venue_slot.h) found through the
// section table, read, and rewritten with the PE checksum kept right.
#pragma once

#include <string>

#include "exchange/venue_client/pe_image.h"

namespace venue_client {

struct VenueSettings {
  std::string address;    // the address server: IPv4 dotted text or a host name
  std::string home_page;  // the home-page host
};

struct ClientImage {
  std::string bytes;
  PeImage pe;
  size_t slot_offset = 0;  // file offset of the slot
};

// Takes `bytes` as a client; false with `problem` (a sentence's end, after the file's name) when they are
// not a Windows program, not this client (no venue slot), or its slot is damaged or of another layout.
bool LoadClient(std::string bytes, ClientImage* client, std::string* problem);

VenueSettings ReadSettings(const ClientImage& client);

// Writes `settings` into the slot and sets the checksum; false with `problem` when a text cannot stand
// there (see venue::HostProblem) or the client is signed (its signature would no longer match).
bool StampSettings(ClientImage* client, const VenueSettings& settings, std::string* problem);

}  // namespace venue_client
