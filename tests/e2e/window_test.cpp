// The window as a person first sees it: where it opens, what it reports at start-up, its lights, its
// skin, and how it ends; and the single-instance rule.
#include <cstdio>
#include <sstream>

#include "client_test.h"

namespace e2e {
namespace {

class Window : public ClientTest {
 protected:
  void SetUp() override {
    ClientTest::SetUp();
    if (HasFatalFailure()) return;
    StartSimulator(exsim::Options{});
  }
};

bool Near(const Rgb& c, int r, int g, int b, int tolerance) {
  return std::abs(c.r - r) <= tolerance && std::abs(c.g - g) <= tolerance && std::abs(c.b - b) <= tolerance;
}

std::string Show(const Rgb& c) {
  return "RGB(" + std::to_string(c.r) + "," + std::to_string(c.g) + "," + std::to_string(c.b) + ")";
}

// Pixels of the window's rectangle (left, top, right, bottom, in window coordinates) that match.
int CountPixels(const Image& shot, int wx, int wy, int left, int top, int right, int bottom,
                const std::function<bool(const Rgb&)>& match) {
  int n = 0;
  for (int y = top; y < bottom; ++y)
    for (int x = left; x < right; ++x)
      n += match(shot.At(wx + x, wy + y)) ? 1 : 0;
  return n;
}

TEST_F(Window, OpensCentredOnTheScreenAtTheSkinSize) {
  ASSERT_NO_FATAL_FAILURE(LaunchClient());
  std::istringstream geometry(ProbeOk({"geometry"}));
  int x = -1, y = -1, w = 0, h = 0;
  ASSERT_TRUE(geometry >> x >> y >> w >> h);
  EXPECT_EQ(w, 373);
  EXPECT_EQ(h, 195);
  // No taskbar on this display: the work area is the whole screen.
  EXPECT_NEAR(x, (wine().screen_width() - 373) / 2, 1);
  EXPECT_NEAR(y, (wine().screen_height() - 195) / 2, 1);
  EXPECT_EQ(ProbeOk({"count"}), "1\n") << "exactly one window has the caption HalvenorTavisk";
}

TEST_F(Window, StartUpReportsReadinessAndFillsTheDepartmentList) {
  ASSERT_NO_FATAL_FAILURE(LaunchClient());
  // Wine's mixer has no recording line, the network is a LAN: these four lines, in this order, and
  // nothing else (79 bytes: the panel was never emptied).
  std::vector<std::string> expected = {line::kMixerUnknown, line::kLan, line::kCanDial,
                                       line::kChooseDepartment};
  EXPECT_EQ(LogNow(), expected);
  EXPECT_EQ(Transcript(), expected);
  std::vector<std::string> rows = SplitLines(ProbeOk({"rows"}));
  std::vector<std::string> expected_rows = {kDepartment0, kDepartment1, kDepartment2, "selected=0"};
  EXPECT_EQ(rows, expected_rows);
  EXPECT_EQ(ProbeOk({"text", "1002"}), kDepartment0) << "the list's field shows the selected row";
  EXPECT_EQ(EventCount(Kind::AddressConnected), 0u) << "nothing is sent before the button is pressed";
}

TEST_F(Window, OnlineLightBlinksAndTalkingLightStaysDarkWhenIdle) {
  ASSERT_NO_FATAL_FAILURE(LaunchClient());
  // Timer 300 flips the online light every 200 ms: about 6 flips in 1.2 s.
  std::string watched = ProbeOk({"watch-lights", "1200", "20"});
  int online = -1, talking = -1;
  ASSERT_EQ(std::sscanf(watched.c_str(), "online_flips=%d talking_flips=%d", &online, &talking), 2)
      << watched;
  EXPECT_GE(online, 3) << watched;
  EXPECT_LE(online, 9) << watched;
  EXPECT_EQ(talking, 0) << watched;
}

TEST_F(Window, ScreenshotShowsTheSkinTheLogTextTheButtonAndTheList) {
  ASSERT_NO_FATAL_FAILURE(LaunchClient());
  Image shot;
  int wx = 0, wy = 0;
  // Painting follows the start-up lines: take pictures until the skin is there.
  bool painted = PollUntil(
      [&] {
        return ShootWindow("", &shot, &wx, &wy) && Near(shot.At(wx + 20, wy + 140), 26, 175, 168, 8) &&
               Near(shot.At(wx + 330, wy + 88), 255, 255, 255, 10);
      },
      milliseconds(10000), milliseconds(200));
  ASSERT_TRUE(ShootWindow("window", &shot, &wx, &wy));
  EXPECT_TRUE(painted) << "teal panel at (20,140): " << Show(shot.At(wx + 20, wy + 140))
                       << ", department field at (330,88): " << Show(shot.At(wx + 330, wy + 88));

  // The teal panel of the skin, around the status log.
  EXPECT_TRUE(Near(shot.At(wx + 20, wy + 140), 26, 175, 168, 8)) << Show(shot.At(wx + 20, wy + 140));
  EXPECT_TRUE(Near(shot.At(wx + 100, wy + 130), 26, 175, 168, 8)) << Show(shot.At(wx + 100, wy + 130));
  // Green text (RGB(150,255,10) smoothed onto the teal) in the status log's rectangle.
  int green = CountPixels(shot, wx, wy, 25, 55, 193, 137,
                          [](const Rgb& c) { return c.g >= 225 && c.b <= 120 && c.r <= 200; });
  EXPECT_GT(green, 150) << "bright green pixels in the status log";
  // The phone button: a grey face with the dark handset on it.
  Rgb face = shot.At(wx + 236, wy + 98);
  EXPECT_TRUE(std::abs(face.r - face.b) < 30 && face.r > 150 && face.r < 250)
      << "phone button face " << Show(face);
  EXPECT_EQ(PhoneButtonPicture(), "grey") << "on-hook at start-up";
  int dark = CountPixels(shot, wx, wy, 206, 78, 266, 118,
                         [](const Rgb& c) { return c.r < 90 && c.g < 90 && c.b < 90; });
  EXPECT_GT(dark, 40) << "dark handset pixels on the phone button";
  // The department list's white field.
  EXPECT_TRUE(Near(shot.At(wx + 330, wy + 88), 255, 255, 255, 10)) << Show(shot.At(wx + 330, wy + 88));
  EXPECT_TRUE(Near(shot.At(wx + 330, wy + 96), 255, 255, 255, 10)) << Show(shot.At(wx + 330, wy + 96));
  // "TAVISK" in red on the light title strip.
  int red = CountPixels(shot, wx, wy, 5, 6, 60, 26,
                        [](const Rgb& c) { return c.r > 200 && c.g < 160 && c.b < 160; });
  EXPECT_GT(red, 15) << "red product word in the title strip";
  EXPECT_TRUE(Near(shot.At(wx + 200, wy + 12), 238, 240, 242, 16))
      << "title strip " << Show(shot.At(wx + 200, wy + 12));
}

TEST_F(Window, EscEndsTheProcess) {
  ASSERT_NO_FATAL_FAILURE(LaunchClient());
  auto pressed = std::chrono::steady_clock::now();
  ProbeOk({"esc"});
  EXPECT_TRUE(client().WaitExit(milliseconds(10000))) << "the client still runs 10 s after Esc";
  std::printf(
      "[ measure  ] Esc to the end of the process: %lld ms (the probe's own start included)\n",
      static_cast<long long>(
          std::chrono::duration_cast<milliseconds>(std::chrono::steady_clock::now() - pressed).count()));
  EXPECT_EQ(Probe({"alive"}).exit_code, 1) << "the window is gone";
  EXPECT_EQ(EventCount(Kind::AddressConnected), 0u);
}

TEST_F(Window, ExitButtonEndsTheProcess) {
  ASSERT_NO_FATAL_FAILURE(LaunchClient());
  Press(kExitButton);
  EXPECT_TRUE(client().WaitExit(milliseconds(10000))) << "the client still runs 10 s after the exit button";
  EXPECT_EQ(Probe({"alive"}).exit_code, 1) << "the window is gone";
}

TEST_F(Window, SecondStartEndsAtOnceAndTheFirstWindowStays) {
  ASSERT_NO_FATAL_FAILURE(LaunchClient());
  std::vector<std::string> before = LogNow();
  Child second = StartClientProcess(Profile::kSound, test_name() + ".second.txt");
  ASSERT_TRUE(second.started());
  EXPECT_TRUE(second.WaitExit(milliseconds(15000))) << "the second start did not end";
  EXPECT_TRUE(client_running()) << "the first instance ended";
  EXPECT_EQ(ProbeOk({"count"}), "1\n") << "one window only";
  EXPECT_EQ(LogNow(), before) << "the first window's log is untouched";
  // The first window still works.
  std::string watched = ProbeOk({"watch-lights", "600", "20"});
  int online = -1, talking = -1;
  ASSERT_EQ(std::sscanf(watched.c_str(), "online_flips=%d talking_flips=%d", &online, &talking), 2)
      << watched;
  EXPECT_GE(online, 1) << watched;
}

}  // namespace
}  // namespace e2e
