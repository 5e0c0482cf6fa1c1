// Malformed and abusive material the simulator's hostile mode sends, to prove the client survives it.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace exsim {

// The garbage chunks sent on a phone connection before the normal tags, each to be sent on its own.
std::vector<std::string> HostileTcpChunks(unsigned seed);

// The malformed datagrams sent before the flood (oversize, empty, 1 byte, bad sequence fields). One has
// the sequence field filled with 16 nines and no NUL: a receiver that accepts it as a number will then
// regard every later (smaller) sequence number as old.
std::vector<std::string> HostileVoiceDatagrams(unsigned seed, std::string_view address_text);

}  // namespace exsim
