// Reads a secret (a password) from a file only its owner can read: a secret others on the machine can read
// is no longer one, and here it opens the venue's telephones to whoever reads it.
#pragma once

#include <string>

namespace exchange {

// Takes the first line of `path` (without its line ending) into *secret. False with *error saying what is
// wrong — missing, not a regular file, readable or writable by group or others, a symbolic link, owned
// by another user than the exchange's (or root), empty — never quoting the
// content.
bool ReadSecretFile(const std::string& path, std::string* secret, std::string* error);

}  // namespace exchange
