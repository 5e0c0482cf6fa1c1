// The end-to-end suite: the real Windows client under Wine against the exchange simulator.
#include <gtest/gtest.h>

#include "wine_session.h"

namespace {

class WineEnvironment : public ::testing::Environment {
 public:
  // A problem is reported by every test (each fails with the reason), not by skipping them.
  void SetUp() override { e2e::WineSession::Get().SetUp(); }
  void TearDown() override { e2e::WineSession::Get().TearDown(); }
};

}  // namespace

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  ::testing::AddGlobalTestEnvironment(new WineEnvironment);
  return RUN_ALL_TESTS();
}
