#pragma once
// The venue's settings as this executable carries them: its venue slot (app/venue_slot.h), which the build
// fills from the CMake cache and pelvarine-client may have rewritten since.

#include "app/call_client.h"

namespace pelvarine::win32 {

// Reads the slot's bytes as they are in the loaded image. A slot that fails its check gives empty texts, so
// a damaged copy reports that it cannot reach the address server instead of calling a garbled one.
ClientConfig ReadVenueSettings();

}  // namespace pelvarine::win32
