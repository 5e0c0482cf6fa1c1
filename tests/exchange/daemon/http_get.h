// A one-request HTTP client for the exchange's counters.
#pragma once

#include <string>

namespace exchange::testing {

// The body of GET `path` on 127.0.0.1:port with the status code in *status; "" with *status 0 on failure.
std::string HttpGet(int port, const std::string& path, int* status);

}  // namespace exchange::testing
