#include "exchange_client_test.h"

#include <algorithm>
#include <cstdio>
#include <iostream>

namespace e2e {

void ExchangeClientTest::TearDown() {
  exchange_.Stop();
  std::string log;
  for (const std::string& l : exchange_.Lines())
    log += l + "\n";
  WriteFile(LogPath(".exchange.txt"), log);
  if (HasFailure()) std::cerr << "exchange log:\n" << log;
  ClientTest::TearDown();
}

void ExchangeClientTest::StartExchange(const std::vector<std::string>& args) {
  std::vector<std::string> argv = {PELVARINE_E2E_EXCHANGE_PATH};
  argv.insert(argv.end(), args.begin(), args.end());
  ASSERT_TRUE(exchange_.Start(argv, WithOverrides({})));
  // Its start line comes once every listener is bound.
  ASSERT_TRUE(WaitForExchangeLog("32765", milliseconds(10000)))
      << "pelvarine-exchange did not report its address server (is something else on port 32765?)";
}

bool ExchangeClientTest::WaitForExchangeLog(const std::string& text, milliseconds limit) {
  return exchange_.WaitFor(
      [&](const std::vector<std::string>& lines) {
        return std::any_of(lines.begin(), lines.end(),
                           [&](const std::string& l) { return l.find(text) != std::string::npos; });
      },
      limit);
}

int ExchangeClientTest::TalkingFlips(int ms) {
  int online = -1, talking = -1;
  std::string watched = ProbeOk({"watch-lights", std::to_string(ms), "5"});
  EXPECT_EQ(std::sscanf(watched.c_str(), "online_flips=%d talking_flips=%d", &online, &talking), 2)
      << watched;
  return talking;
}

}  // namespace e2e
