// The fixture of the end-to-end tests that run pelvarine-exchange itself as the venue's servers, beside
// the client under Wine: the program's log is read line by line and saved with the test's logs.
#pragma once

#include <string>
#include <vector>

#include "client_test.h"

namespace e2e {

class ExchangeClientTest : public ClientTest {
 protected:
  void TearDown() override;

  // Starts pelvarine-exchange with `args` and waits until its address server listens.
  void StartExchange(const std::vector<std::string>& args = {});
  bool WaitForExchangeLog(const std::string& text, milliseconds limit);
  // How often the talking light flipped in `ms` milliseconds: the far end's voice reaching the client.
  int TalkingFlips(int ms);
  // A file beside the test's other logs.
  std::string LogPath(const std::string& suffix) const {
    return wine().logs_dir() + "/" + test_name() + suffix;
  }

  LineReader exchange_;
};

}  // namespace e2e
