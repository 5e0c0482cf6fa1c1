// A dial-plan target of the SIP far end: one extension, or a hunt list of a department's extensions tried in
// order ("3381,3382,3390"). Only what can safely stand as the user part of a request URI is accepted, since
// the target ends up in the INVITE the PBX routes (a stray ';' or '@' would dial somewhere else).
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace exchange {

constexpr size_t kMaxHuntEntries = 16;
constexpr size_t kMaxExtensionLength = 32;

// Splits `target` into its extensions (spaces around commas are allowed). Returns false and says why in
// `error` unless there are 1 to kMaxHuntEntries extensions, each 1 to kMaxExtensionLength characters of
// letters, digits, '*', '#', '+', '-', '_' and '.'.
bool ParseHuntList(std::string_view target, std::vector<std::string>* extensions, std::string* error);

// The user part of a request URI for `extension`: '#' is not allowed there unescaped.
std::string EscapeExtension(std::string_view extension);

}  // namespace exchange
