// Authenticode signing of the venue's copy with osslsigncode (Debian's package), after the stamp.
#pragma once

#include <string>

namespace venue_client {

struct SigningRequest {
  std::string certificate;    // PKCS#12 file (.pfx) with the key and its certificate chain
  std::string password_file;  // first line: the .pfx's password
};

// Signs `input` into `output` (a new file); false with `problem` holding osslsigncode's own words.
// `log` is a scratch file for its output.
bool SignExecutable(const SigningRequest& request, const std::string& input, const std::string& output,
                    const std::string& log, std::string* problem);

}  // namespace venue_client
