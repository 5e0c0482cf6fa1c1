// The SIP trunk's health: which answers of the PBX count as the trunk failing, the warnings an operator gets
// (and how few), and the counts the metrics show.
#include "exchange/farend/sip/sip_trunk_health.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace exchange {
namespace {

using Registration = SipTrunkHealth::Registration;

class SipTrunkHealthTest : public ::testing::Test {
 protected:
  SipTrunkHealthTest() {
    health_.SetWarn([this](const std::string& line) { warnings_.push_back(line); });
  }
  SipTrunkHealth health_;
  std::vector<std::string> warnings_;
};

TEST_F(SipTrunkHealthTest, RegistrationStatesAndTheirWarnings) {
  EXPECT_EQ(health_.registration(), Registration::kOff);
  health_.OnRegistrationStarted();
  EXPECT_EQ(health_.registration(), Registration::kPending);
  health_.OnRegistrationResult(0, 200, "OK", "sip:pbx");
  EXPECT_EQ(health_.registration(), Registration::kRegistered);
  EXPECT_TRUE(warnings_.empty());
  health_.OnRegistrationResult(0, 403, "Forbidden", "sip:pbx");
  EXPECT_EQ(health_.registration(), Registration::kRefused);
  health_.OnRegistrationResult(ECONNREFUSED, 0, "", "sip:pbx");
  EXPECT_EQ(health_.registration(), Registration::kFailing);
  ASSERT_EQ(warnings_.size(), 2u);
  EXPECT_EQ(warnings_[0],
            "sip: registration at sip:pbx refused: 403 Forbidden (check user and credentials_file)");
  EXPECT_EQ(warnings_[1].rfind("sip: registration at sip:pbx failed: ", 0), 0u) << warnings_[1];
  EXPECT_EQ(health_.responses(SipTrunkHealth::Method::kRegister, 2), 1u);
  EXPECT_EQ(health_.responses(SipTrunkHealth::Method::kRegister, 4), 1u);
}

TEST_F(SipTrunkHealthTest, CallsThatAllFailAreSaidOnceAtTheMarkThenAtEachDoubling) {
  struct Step {
    int status;  // 0: no response at all
    size_t warnings_after;
  };
  const Step steps[] = {
      {503, 0}, {486, 0},                                // busy is the callee's matter: the run starts again
      {503, 0}, {500, 0}, {0, 0},   {503, 0}, {408, 1},  // the fifth failure in a row
      {503, 1}, {503, 1}, {503, 1}, {0, 1},   {503, 2},  // the tenth
      {200, 2}, {503, 2},                                // an answer ends the run
  };
  for (const Step& s : steps) {
    if (s.status == 0)
      health_.OnInviteFailed("no response in time");
    else
      health_.OnInviteResponse(static_cast<uint16_t>(s.status), "Reason");
    ASSERT_EQ(warnings_.size(), s.warnings_after) << "after " << s.status;
  }
  EXPECT_EQ(warnings_[0], "sip: the last 5 calls to the PBX all failed (last: 408 Reason)");
  EXPECT_EQ(warnings_[1], "sip: the last 10 calls to the PBX all failed (last: 503 Reason)");
  EXPECT_EQ(health_.responses(SipTrunkHealth::Method::kInvite, 5), 9u);
  EXPECT_EQ(health_.responses(SipTrunkHealth::Method::kInvite, 2), 1u);
}

TEST_F(SipTrunkHealthTest, RefusedCredentialsOnACallAreWarnedEachTime) {
  health_.OnInviteResponse(407, "Proxy Authentication Required");
  health_.OnInviteResponse(404, "Not Found");  // a wrong number: no warning
  ASSERT_EQ(warnings_.size(), 1u);
  EXPECT_EQ(warnings_[0],
            "sip: the PBX refused our credentials on a call: 407 Proxy Authentication Required (check user "
            "and credentials_file)");
}

}  // namespace
}  // namespace exchange
