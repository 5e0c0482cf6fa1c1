#include "app/home_page.h"

#include "client_fixture.h"

namespace pelvarine::testing {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;

TEST(HomePageCommand, HostFollowsTheBrowserCommandDirectly) {
  EXPECT_EQ(
      ComposeHomePageCommand("\"C:\\Program Files\\Browser\\browser.exe\" -nohome", "www.halvenor.example"),
      "\"C:\\Program Files\\Browser\\browser.exe\" -nohomewww.halvenor.example");
  EXPECT_EQ(ComposeHomePageCommand("C:\\PROGRA~1\\IE\\iexplore.exe ", "host"),
            "C:\\PROGRA~1\\IE\\iexplore.exe host");
  EXPECT_EQ(ComposeHomePageCommand("\"C:\\浏览器\\b.exe\" %1", "h"), "\"C:\\浏览器\\b.exe\" %1h");
}

class HomePageTest : public ClientTest {
 protected:
  void SetUp() override {
    Start();
    ClearLog();
  }
};

TEST_F(HomePageTest, ButtonStartsTheBrowserOnTheHomePageHost) {
  system.browser_command = "\"C:\\Program Files\\Browser\\browser.exe\" -nohome ";
  client->OnHomePageButton();
  EXPECT_THAT(system.programs,
              ElementsAre("\"C:\\Program Files\\Browser\\browser.exe\" -nohome www.example.com"));
  EXPECT_THAT(panel.appended, IsEmpty());
  EXPECT_THAT(system.boxes, IsEmpty());
}

TEST_F(HomePageTest, UnreadableBrowserCommandStartsNothingAndSaysNothing) {
  system.has_browser_command = false;
  client->OnHomePageButton();
  OpenHomePage(system, "www.halvenor.example");
  EXPECT_THAT(system.programs, IsEmpty());
  EXPECT_THAT(panel.appended, IsEmpty());
  EXPECT_THAT(system.boxes, IsEmpty());
}

}  // namespace
}  // namespace pelvarine::testing
