// The window under real X input (xdotool moves the pointer, presses buttons and keys on the Xvfb display),
// as a person uses it: pictures of the skin buttons, clicks and a double-click, dragging, the information
// box, minimising and restoring, Enter, and a second start while minimised. Checked by the pixels on the
// screen, the window's rectangle and the status log.
#include <sstream>
#include <thread>

#include "client_test.h"

namespace e2e {
namespace {

// A window-relative point.
struct Spot {
  int x, y;
};

constexpr Spot kBackground = {120, 160};  // the skin, below the status panel: no control there
constexpr Spot kStatusLog = {100, 100};
constexpr Spot kOnlineLight = {257, 41};
constexpr Spot kTalkingLight = {318, 42};
constexpr Spot kDepartmentList = {300, 95};

struct Area {
  int left, top, right, bottom;
  bool Holds(int x, int y) const { return x >= left && x < right && y >= top && y < bottom; }
};

struct SkinButtonPlace {
  const char* name;
  int left, top;    // in the window
  const char* art;  // res/ART_normal.bmp, ART_hover.bmp, ART_pressed.bmp
  Spot centre() const { return {left + 12, top + 8}; }
};

constexpr SkinButtonPlace kPhone = {"phone", 206, 78, "phone"};
constexpr SkinButtonPlace kExit = {"exit", 335, 7, "exit"};
constexpr SkinButtonPlace kMinimise = {"minimise", 309, 7, "min"};
constexpr SkinButtonPlace kHomePage = {"home page", 283, 7, "home"};

constexpr char kInformationCaption[] = "Tavisk";
constexpr char kMakerLine[] = "Corvalis 制作";
constexpr char kVersionLine[] = "Ver2.0.05.10.30";

// A 24-bit bottom-up BMP as the project's artwork stores it.
struct Picture {
  int width = 0, height = 0;
  std::vector<Rgb> pixels;  // top row first
  bool Load(const std::string& path) {
    std::string data = ReadFile(path);
    auto u32 = [&](size_t at) {
      return static_cast<uint32_t>(static_cast<unsigned char>(data[at])) |
             static_cast<uint32_t>(static_cast<unsigned char>(data[at + 1])) << 8 |
             static_cast<uint32_t>(static_cast<unsigned char>(data[at + 2])) << 16 |
             static_cast<uint32_t>(static_cast<unsigned char>(data[at + 3])) << 24;
    };
    if (data.size() < 54 || data[0] != 'B' || data[1] != 'M' || data[28] != 24) return false;
    size_t offset = u32(10);
    width = static_cast<int>(u32(18));
    height = static_cast<int>(u32(22));
    size_t stride = (static_cast<size_t>(width) * 3 + 3) / 4 * 4;
    if (width <= 0 || height <= 0 || data.size() < offset + stride * static_cast<size_t>(height))
      return false;
    pixels.clear();
    for (int y = height - 1; y >= 0; --y) {
      for (int x = 0; x < width; ++x) {
        size_t i = offset + static_cast<size_t>(y) * stride + static_cast<size_t>(x) * 3;
        pixels.push_back({static_cast<unsigned char>(data[i + 2]), static_cast<unsigned char>(data[i + 1]),
                          static_cast<unsigned char>(data[i])});
      }
    }
    return true;
  }
};

bool Close(const Rgb& a, const Rgb& b, int tolerance) {
  return std::abs(a.r - b.r) <= tolerance && std::abs(a.g - b.g) <= tolerance &&
         std::abs(a.b - b.b) <= tolerance;
}

class RealInput : public ClientTest {
 protected:
  void SetUp() override {
    ClientTest::SetUp();
    if (HasFatalFailure()) return;
    // The pointer starts in a corner, away from where the window opens.
    ASSERT_TRUE(Xdo({"mousemove", "0", "0"})) << "xdotool cannot move the pointer on " << wine().display();
    exsim::Options options;
    options.voice = exsim::VoiceMode::kTone;
    options.hangup_after_ms = -1;
    ASSERT_NO_FATAL_FAILURE(StartSimulator(options));
    ASSERT_NO_FATAL_FAILURE(LaunchClient());
    ASSERT_NO_FATAL_FAILURE(ReadGeometry(&x_, &y_));
    // The first paint follows the start-up lines.
    ASSERT_TRUE(WaitForPicture(kPhone, "normal")) << PictureReport(kPhone);
  }

  void TearDown() override {
    Xdo({"mouseup", "1"});
    Xdo({"mousemove", "0", "0"});
    ClientTest::TearDown();
  }

  bool Xdo(const std::vector<std::string>& args) {
    std::vector<std::string> argv = {"/usr/bin/xdotool"};
    argv.insert(argv.end(), args.begin(), args.end());
    CommandResult r = RunCommand(argv, wine().Env(Profile::kSound), milliseconds(20000));
    EXPECT_TRUE(r.ok()) << "xdotool failed: " << r.err;
    return r.ok();
  }

  // Screen coordinates of a window-relative spot, as xdotool arguments.
  std::vector<std::string> At(Spot s) const { return {std::to_string(x_ + s.x), std::to_string(y_ + s.y)}; }
  bool MoveTo(Spot s) { return Xdo({"mousemove", At(s)[0], At(s)[1]}); }

  void ReadGeometry(int* x, int* y, int* w = nullptr, int* h = nullptr) {
    std::istringstream in(ProbeOk({"geometry"}));
    int width = 0, height = 0;
    ASSERT_TRUE(in >> *x >> *y >> width >> height);
    if (w) *w = width;
    if (h) *h = height;
  }
  std::string Geometry() { return ProbeOk({"geometry"}); }
  std::string State() { return ProbeOk({"state"}); }

  // The caption of a window the client shows besides its own (the information box), or "".
  std::vector<std::string> Popup() {
    CommandResult r = Probe({"popup"});
    return r.ok() ? SplitLines(r.out) : std::vector<std::string>();
  }

  // Which of the button's pictures the screen shows: "normal", "hover", "pressed", or what matched best.
  std::string ShownPicture(const SkinButtonPlace& button, std::string* detail = nullptr) {
    Image shot;
    if (!wine().Screenshot(&shot, wine().work_dir() + "/screen.ppm")) return "no screenshot";
    std::string best = "none";
    double best_share = 0;
    std::string shares;
    for (const char* state : {"normal", "hover", "pressed"}) {
      Picture art;
      std::string path = std::string(PELVARINE_SOURCE_DIR) + "/res/" + button.art + "_" + state + ".bmp";
      if (!art.Load(path)) return "cannot read " + path;
      int same = 0;
      for (int y = 0; y < art.height; ++y)
        for (int x = 0; x < art.width; ++x)
          same += Close(shot.At(x_ + button.left + x, y_ + button.top + y),
                        art.pixels[static_cast<size_t>(y * art.width + x)], 12);
      double share = static_cast<double>(same) / static_cast<double>(art.pixels.size());
      shares += std::string(" ") + state + "=" + std::to_string(share).substr(0, 5);
      if (share > best_share) {
        best_share = share;
        best = state;
      }
    }
    if (detail) *detail = shares;
    // Every pixel of a picture is painted as it is (a 24-bit screen); a few may be covered by nothing else.
    return best_share >= 0.98 ? best : "none (" + shares + " )";
  }

  bool WaitForPicture(const SkinButtonPlace& button, const std::string& picture,
                      milliseconds limit = milliseconds(15000)) {
    return PollUntil([&] { return ShownPicture(button) == picture; }, limit, milliseconds(100));
  }

  std::string PictureReport(const SkinButtonPlace& button) {
    std::string shares;
    std::string shown = ShownPicture(button, &shares);
    return std::string("the ") + button.name + " button shows " + shown +
           " (share of pixels like each picture:" + shares + ")";
  }

  // Presses the left button at `from`, moves by (dx, dy) in steps as a hand does, and releases.
  bool Drag(Spot from, int dx, int dy) {
    std::vector<std::string> args = {"mousemove", At(from)[0], At(from)[1], "mousedown", "1", "sleep", "0.2"};
    for (int step = 1; step <= 4; ++step) {
      Spot s = {from.x + dx * step / 4, from.y + dy * step / 4};
      for (const std::string& a :
           {std::string("mousemove"), At(s)[0], At(s)[1], std::string("sleep"), std::string("0.1")})
        args.push_back(a);
    }
    args.insert(args.end(), {"sleep", "0.2", "mouseup", "1"});
    return Xdo(args);
  }

  int x_ = 0, y_ = 0;  // the window's place on the screen when the test began
};

TEST_F(RealInput, PointerOverAButtonShowsItsHoverPictureAndMovingAwayTheNormalOne) {
  for (const SkinButtonPlace* button : {&kPhone, &kExit, &kMinimise, &kHomePage}) {
    SCOPED_TRACE(button->name);
    ASSERT_TRUE(MoveTo(button->centre()));
    EXPECT_TRUE(WaitForPicture(*button, "hover")) << PictureReport(*button);
    ASSERT_TRUE(MoveTo(kBackground));
    EXPECT_TRUE(WaitForPicture(*button, "normal")) << PictureReport(*button);
  }
}

TEST_F(RealInput, PressingATitleButtonShowsItsPressedPictureAndReleasingElsewhereDoesNothing) {
  std::vector<std::string> log = LogNow();
  std::string geometry = Geometry();
  for (const SkinButtonPlace* button : {&kExit, &kMinimise, &kHomePage}) {
    SCOPED_TRACE(button->name);
    ASSERT_TRUE(MoveTo(button->centre()));
    ASSERT_TRUE(Xdo({"mousedown", "1"}));
    EXPECT_TRUE(WaitForPicture(*button, "pressed")) << PictureReport(*button);
    ASSERT_TRUE(MoveTo(kBackground));
    EXPECT_TRUE(WaitForPicture(*button, "normal")) << PictureReport(*button);
    ASSERT_TRUE(Xdo({"mouseup", "1"}));
  }
  // None of the three commands ran: the window is where it was, not minimised, and has said nothing.
  std::this_thread::sleep_for(milliseconds(500));
  EXPECT_TRUE(client_running());
  EXPECT_EQ(State(), "iconic=0 visible=1 enabled=1\n");
  EXPECT_EQ(Geometry(), geometry);
  EXPECT_EQ(LogNow(), log);
}

TEST_F(RealInput, AClickOnThePhoneButtonPlacesACallAndASecondOneHangsUp) {
  ASSERT_TRUE(MoveTo(kPhone.centre()));
  ASSERT_TRUE(Xdo({"click", "1"}));
  ASSERT_TRUE(WaitForLine(line::kOffHook)) << Diagnostics();
  ASSERT_TRUE(WaitForEvent(Kind::DialReceived)) << Diagnostics();
  ASSERT_TRUE(MoveTo(kBackground));
  EXPECT_TRUE(WaitForPicture(kPhone, "pressed")) << "off-hook: " << PictureReport(kPhone);

  ASSERT_TRUE(MoveTo(kPhone.centre()));
  ASSERT_TRUE(Xdo({"click", "1"}));
  ASSERT_TRUE(WaitForEvent(Kind::ClientClosed)) << Diagnostics();
  EXPECT_TRUE(WaitForLine(line::kOnHook)) << Diagnostics();
  ASSERT_TRUE(MoveTo(kBackground));
  EXPECT_TRUE(WaitForPicture(kPhone, "normal")) << "on-hook: " << PictureReport(kPhone);
  EXPECT_EQ(EventCount(Kind::AddressConnected), 1u);
}

TEST_F(RealInput, ADoubleClickOnThePhoneButtonIsOneCommand) {
  ASSERT_TRUE(MoveTo(kPhone.centre()));
  // Well inside the double-click time (500 ms), even on a loaded machine: the second press arrives as a
  // double-click.
  ASSERT_TRUE(Xdo({"click", "--repeat", "2", "--delay", "30", "1"}));
  ASSERT_TRUE(WaitForEvent(Kind::DialReceived)) << Diagnostics();
  // A second command would hang up at once: give it time to show.
  ASSERT_TRUE(WaitForEvent(Kind::VoiceSent, 60)) << Diagnostics();
  EXPECT_EQ(TranscriptCount(line::kOffHook), 1u) << JoinLines(Transcript());
  EXPECT_FALSE(TranscriptHas(line::kOnHook)) << JoinLines(Transcript());
  EXPECT_EQ(EventCount(Kind::AddressConnected), 1u);
  EXPECT_EQ(EventCount(Kind::ClientClosed), 0u) << "the call is still up";
}

TEST_F(RealInput, DraggingTheBackgroundMovesTheWindowAndDraggingAControlDoesNot) {
  ASSERT_TRUE(Drag(kBackground, 60, 40));
  std::string expected = std::to_string(x_ + 60) + " " + std::to_string(y_ + 40) + " 373 195\n";
  EXPECT_TRUE(PollUntil([&] { return Geometry() == expected; }, milliseconds(15000), milliseconds(100)))
      << "after a drag by (60, 40) from (" << x_ << ", " << y_ << "): " << Geometry();
  ReadGeometry(&x_, &y_);

  for (Spot control : {kPhone.centre(), kStatusLog}) {
    ASSERT_TRUE(Drag(control, 60, 40));
    std::this_thread::sleep_for(milliseconds(700));
    EXPECT_EQ(Geometry(), std::to_string(x_) + " " + std::to_string(y_) + " 373 195\n")
        << "a drag from (" << control.x << ", " << control.y << ") moved the window";
  }
  // The press on the phone button was released outside it: no call.
  EXPECT_EQ(TranscriptCount(line::kOffHook), 0u) << JoinLines(Transcript());
  EXPECT_EQ(EventCount(Kind::AddressConnected), 0u);
}

TEST_F(RealInput, ARightClickShowsTheInformationBoxOnTheBackgroundAndTheLightsButNotOnTheControls) {
  std::vector<std::string> start_up = LogNow();
  for (Spot control : {kPhone.centre(), kDepartmentList}) {
    ASSERT_TRUE(MoveTo(control));
    ASSERT_TRUE(Xdo({"click", "3"}));
    std::this_thread::sleep_for(milliseconds(1000));
    std::vector<std::string> popup = Popup();
    EXPECT_TRUE(popup.empty() || popup[0] != kInformationCaption)
        << "a right click at (" << control.x << ", " << control.y << ") showed the information box";
    EXPECT_EQ(LogNow(), start_up);
    if (!popup.empty()) {
      // A control's own menu (the list's field has an edit menu): Esc closes it. Not a click on the
      // background: one whose press the menu takes would leave its release to start a drag that never ends.
      ASSERT_TRUE(Xdo({"key", "Escape"}));
      EXPECT_TRUE(PollUntil([&] { return Popup().empty(); }, milliseconds(15000), milliseconds(100)));
    }
  }

  const std::vector<std::string> box = {kInformationCaption, kMakerLine, kVersionLine};
  for (Spot spot : {kBackground, kOnlineLight, kTalkingLight}) {
    SCOPED_TRACE("right click at (" + std::to_string(spot.x) + ", " + std::to_string(spot.y) + ")");
    ASSERT_TRUE(MoveTo(spot));
    ASSERT_TRUE(Xdo({"click", "3"}));
    std::vector<std::string> popup;
    EXPECT_TRUE(PollUntil([&] { return !(popup = Popup()).empty(); }, milliseconds(15000), milliseconds(100)))
        << "no information box";
    EXPECT_EQ(popup, box);
    // The status log shows the same two lines, alone.
    EXPECT_EQ(LogNow(), std::vector<std::string>({kMakerLine, kVersionLine}));
    // Enter presses the box's button.
    ASSERT_TRUE(Xdo({"key", "Return"}));
    EXPECT_TRUE(PollUntil([&] { return Popup().empty(); }, milliseconds(15000), milliseconds(100)))
        << "the information box is still there after Enter";
    // The box's own loop has ended once the window takes input again.
    EXPECT_TRUE(PollUntil([&] { return State() == "iconic=0 visible=1 enabled=1\n"; }, milliseconds(15000)))
        << State();
    EXPECT_TRUE(client_running());
  }
}

TEST_F(RealInput, TheMinimiseButtonMinimisesAndRestoringRepaintsTheSkinAndTexts) {
  ASSERT_TRUE(MoveTo(kBackground));
  std::string geometry = Geometry();
  Image before;
  int wx = 0, wy = 0;
  ASSERT_TRUE(ShootWindow("before-minimise", &before, &wx, &wy));

  ASSERT_TRUE(MoveTo(kMinimise.centre()));
  ASSERT_TRUE(Xdo({"click", "1"}));
  EXPECT_TRUE(PollUntil([&] { return State() == "iconic=1 visible=1 enabled=1\n"; }, milliseconds(15000)))
      << State();
  ASSERT_TRUE(Xdo({"mousemove", "0", "0"}));
  // What a click on its taskbar button does.
  ProbeOk({"restore"});
  EXPECT_TRUE(PollUntil([&] { return State() == "iconic=0 visible=1 enabled=1\n"; }, milliseconds(15000)))
      << State();
  EXPECT_EQ(Geometry(), geometry);

  // Every pixel of the window as before, but for the blinking light and the list's field (its caret).
  const Area kChanging[] = {{249, 33, 265, 49}, {266, 84, 366, 164}};
  auto changing = [&](int x, int y) {
    for (const Area& a : kChanging)
      if (a.Holds(x, y)) return true;
    return false;
  };
  Image after;
  int differ = -1;
  std::string where;
  PollUntil(
      [&] {
        if (!ShootWindow("restored", &after, &wx, &wy)) return false;
        differ = 0;
        where.clear();
        for (int y = 0; y < 195; ++y)
          for (int x = 0; x < 373; ++x)
            if (!changing(x, y) && !Close(before.At(wx + x, wy + y), after.At(wx + x, wy + y), 24)) {
              if (++differ <= 5) where += " (" + std::to_string(x) + "," + std::to_string(y) + ")";
            }
        return differ == 0;
      },
      milliseconds(15000), milliseconds(200));
  EXPECT_EQ(differ, 0) << "pixels unlike before the minimise, first at" << where
                       << "; see shots/before-minimise.png and shots/restored.png";
  EXPECT_EQ(ShownPicture(kPhone), "normal") << PictureReport(kPhone);
  EXPECT_EQ(ShownPicture(kMinimise), "normal") << PictureReport(kMinimise);
}

TEST_F(RealInput, EnterDuringACallEndsTheProgramWithoutTheHangUpLine) {
  ASSERT_TRUE(MoveTo(kPhone.centre()));
  ASSERT_TRUE(Xdo({"click", "1"}));
  ASSERT_TRUE(WaitForEvent(Kind::DialReceived)) << Diagnostics();
  ASSERT_TRUE(WaitForEvent(Kind::VoiceSent, 40)) << Diagnostics();
  ASSERT_TRUE(MoveTo(kBackground));
  ASSERT_TRUE(Xdo({"key", "Return"}));
  EXPECT_TRUE(client().WaitExit(milliseconds(10000))) << "the client still runs 10 s after Enter";
  EXPECT_TRUE(WaitForEvent(Kind::ClientClosed, 1, milliseconds(15000))) << Diagnostics();
  EXPECT_EQ(EventCount(Kind::ServerClosed), 0u);
  EXPECT_FALSE(TranscriptHas(line::kOnHook)) << JoinLines(Transcript());
  EXPECT_FALSE(TranscriptHas(line::kFarEndHungUp)) << JoinLines(Transcript());
}

TEST_F(RealInput, ASecondStartWhileMinimisedRestoresTheFirstWindowAndEnds) {
  std::string geometry = Geometry();
  ASSERT_TRUE(MoveTo(kMinimise.centre()));
  ASSERT_TRUE(Xdo({"click", "1"}));
  ASSERT_TRUE(PollUntil([&] { return State() == "iconic=1 visible=1 enabled=1\n"; }, milliseconds(15000)))
      << State();
  ASSERT_TRUE(Xdo({"mousemove", "0", "0"}));

  Child second = StartClientProcess(Profile::kSound, test_name() + ".second.txt");
  ASSERT_TRUE(second.started());
  EXPECT_TRUE(second.WaitExit(milliseconds(15000))) << "the second start did not end";
  EXPECT_TRUE(PollUntil([&] { return State() == "iconic=0 visible=1 enabled=1\n"; }, milliseconds(15000)))
      << State();
  EXPECT_EQ(Geometry(), geometry);
  EXPECT_TRUE(client_running()) << "the first instance ended";
  EXPECT_EQ(ProbeOk({"count"}), "1\n");
  EXPECT_TRUE(WaitForPicture(kPhone, "normal")) << "repainted: " << PictureReport(kPhone);
}

}  // namespace
}  // namespace e2e
