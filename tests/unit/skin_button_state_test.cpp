#include "ui/skin_button_state.h"

#include <gtest/gtest.h>

#include <string>

namespace pelvarine {
namespace {

constexpr SkinPicture kNormal = SkinPicture::kNormal;
constexpr SkinPicture kPressed = SkinPicture::kPressed;
constexpr SkinPicture kHover = SkinPicture::kHover;

// Counts the commands a sequence of events posts.
struct Clicker {
  explicit Clicker(std::string_view caption) { button.SetSkin(caption); }
  void Click(bool inside = true) {
    Take(button.OnPress());
    Take(button.OnRelease(inside));
  }
  void Take(const SkinButtonActions& a) { commands += a.post_command ? 1 : 0; }
  SkinButtonState button;
  int commands = 0;
};

// ---- Plain buttons --------------------------------------------------------------------------------

TEST(PlainSkinButton, ClickInsidePostsOneCommandAndRepaintsOnPressAndRelease) {
  SkinButtonState b;
  b.SetSkin("退出");
  EXPECT_EQ(b.OnPaint(), kNormal);
  SkinButtonActions press = b.OnPress();
  EXPECT_TRUE(press.repaint);
  EXPECT_FALSE(press.post_command);
  EXPECT_EQ(b.OnPaint(), kPressed);
  SkinButtonActions release = b.OnRelease(true);
  EXPECT_TRUE(release.post_command);
  EXPECT_TRUE(release.repaint);
  EXPECT_EQ(b.OnPaint(), kNormal);

  Clicker c("最小");
  for (int i = 0; i < 3; ++i)
    c.Click();
  EXPECT_EQ(c.commands, 3);
}

TEST(PlainSkinButton, PressedPictureShowsUntilTheMouseMovesThenHoverWhileHeld) {
  SkinButtonState b;
  b.SetSkin("隐藏");
  b.OnPress();
  EXPECT_EQ(b.OnPaint(), kPressed);
  EXPECT_EQ(b.OnPaint(), kPressed);  // a plain button's picture follows the mouse state alone
  EXPECT_TRUE(b.OnMove().repaint);
  EXPECT_EQ(b.OnPaint(), kHover);
  EXPECT_EQ(b.OnPaint(), kHover);
  EXPECT_TRUE(b.OnRelease(true).post_command);  // still a click: the press was seen
  EXPECT_EQ(b.OnPaint(), kNormal);
  b.OnMove();
  EXPECT_TRUE(b.OnLeave().repaint);
  EXPECT_EQ(b.OnPaint(), kNormal);
}

TEST(PlainSkinButton, ReleaseWithoutAPressDoesNothing) {
  SkinButtonState b;
  b.SetSkin("退出");
  SkinButtonActions a = b.OnRelease(true);
  EXPECT_FALSE(a.post_command);
  EXPECT_FALSE(a.repaint);
  EXPECT_FALSE(a.release_mouse);

  // The release of a completed click does not count twice.
  b.OnPress();
  EXPECT_TRUE(b.OnRelease(true).post_command);
  a = b.OnRelease(true);
  EXPECT_FALSE(a.post_command);
  EXPECT_FALSE(a.repaint);
}

TEST(PlainSkinButton, NeverCapturesTheMouse) {
  SkinButtonState b;
  b.SetSkin("退出");
  SkinButtonActions press = b.OnPress();
  EXPECT_FALSE(press.capture_mouse);
  EXPECT_FALSE(b.captured());
  // The release happens outside and never reaches the button; leaving brings the normal picture.
  b.OnMove();
  b.OnLeave();
  EXPECT_EQ(b.OnPaint(), kNormal);
  SkinButtonActions release = b.OnRelease(false);
  EXPECT_FALSE(release.release_mouse);
  EXPECT_FALSE(release.post_command);
}

TEST(SkinButton, PressAndReleaseWithoutAnyMovementIsAClick) {
  // What the start-up auto-click posts: a press and a release at (0, 0), which lies inside.
  Clicker plain("退出");
  plain.Click(true);
  EXPECT_EQ(plain.commands, 1);

  Clicker phone("ConnectAndCut");
  phone.Click(true);
  EXPECT_EQ(phone.commands, 1);
  EXPECT_TRUE(phone.button.on());
}

// ---- The phone button (toggle) --------------------------------------------------------------------

TEST(ToggleSkinButton, CapturesOnPressAndReleasesOnRelease) {
  SkinButtonState b;
  b.SetSkin("ConnectAndCut");
  ASSERT_TRUE(b.IsToggle());
  EXPECT_TRUE(b.OnPress().capture_mouse);
  EXPECT_TRUE(b.captured());
  EXPECT_FALSE(b.OnPress().capture_mouse);  // already held
  SkinButtonActions release = b.OnRelease(true);
  EXPECT_TRUE(release.release_mouse);
  EXPECT_FALSE(b.captured());
  EXPECT_FALSE(b.OnRelease(true).release_mouse);
}

TEST(ToggleSkinButton, PressAloneKeepsTheOnOrOffPicture) {
  SkinButtonState b;
  b.SetSkin("ConnectAndCut");
  b.OnPress();
  EXPECT_EQ(b.OnPaint(), kNormal);
  b.OnRelease(true);
  EXPECT_EQ(b.OnPaint(), kPressed);  // now off-hook: the on picture
  b.OnPress();
  EXPECT_EQ(b.OnPaint(), kPressed);
}

TEST(ToggleSkinButton, HoverPictureOnlyInTheFirstRepaintAfterAMove) {
  SkinButtonState b;
  b.SetSkin("ConnectAndCut");
  b.OnMove();
  EXPECT_EQ(b.OnPaint(), kHover);
  EXPECT_EQ(b.OnPaint(), kNormal);
  b.OnPress();
  b.OnRelease(true);
  b.OnPaint();
  b.OnMove();
  EXPECT_EQ(b.OnPaint(), kHover);
  EXPECT_EQ(b.OnPaint(), kPressed);
  b.OnLeave();
  EXPECT_EQ(b.OnPaint(), kPressed);
}

TEST(ToggleSkinButton, OneShotRequestsAreConsumedOnePerRepaintReleaseFirst) {
  SkinButtonState b;
  b.SetSkin("ConnectAndCut");
  b.OnPress();
  b.OnMove();
  b.OnRelease(true);
  EXPECT_EQ(b.OnPaint(), kPressed);  // the release's request
  EXPECT_EQ(b.OnPaint(), kHover);    // the movement's, left for the next repaint
  EXPECT_EQ(b.OnPaint(), kPressed);

  // A release without a press still leaves its request, which outranks the hover.
  SkinButtonState c;
  c.SetSkin("ConnectAndCut");
  c.OnMove();
  SkinButtonActions a = c.OnRelease(true);
  EXPECT_FALSE(a.post_command);
  EXPECT_FALSE(a.repaint);
  EXPECT_EQ(c.OnPaint(), kNormal);
  EXPECT_EQ(c.OnPaint(), kHover);
}

// The window merges repaints: what was asked between two paints must still get a paint each, or a
// hover left over from the click would show after the pointer has gone.
TEST(ToggleSkinButton, RequestsMergedIntoOnePaintAskForAnotherUntilNoneIsLeft) {
  SkinButtonState b;
  b.SetSkin("ConnectAndCut");
  EXPECT_FALSE(b.RepaintPending());
  b.OnPress();
  b.OnRelease(true);
  b.OnMove();  // the move after the release, before its paint
  EXPECT_TRUE(b.RepaintPending());
  EXPECT_EQ(b.OnPaint(), kPressed);
  EXPECT_TRUE(b.RepaintPending());
  EXPECT_EQ(b.OnPaint(), kHover);
  EXPECT_FALSE(b.RepaintPending());

  b.OnMove();
  b.OnLeave();  // the pointer passed over and left before a paint
  EXPECT_EQ(b.OnPaint(), kHover);
  ASSERT_TRUE(b.RepaintPending());
  EXPECT_EQ(b.OnPaint(), kPressed) << "the last picture is the one that matches the pointer";
  EXPECT_FALSE(b.RepaintPending());

  SkinButtonState plain;  // a plain button's picture follows its state, with nothing owed
  plain.SetSkin("退出");
  plain.OnMove();
  plain.OnLeave();
  EXPECT_FALSE(plain.RepaintPending());
}

TEST(ToggleSkinButton, TwoClicksPostTwoCommandsAndReturnToTheStart) {
  Clicker c("ConnectAndCut");
  c.Click();
  EXPECT_TRUE(c.button.on());
  EXPECT_EQ(c.button.OnPaint(), kPressed);
  c.Click();
  EXPECT_FALSE(c.button.on());
  EXPECT_EQ(c.button.OnPaint(), kNormal);
  EXPECT_EQ(c.commands, 2);
}

TEST(ToggleSkinButton, ReleaseOutsidePostsNothingAndKeepsTheState) {
  SkinButtonState b;
  b.SetSkin("ConnectAndCut");
  b.OnPress();
  SkinButtonActions a = b.OnRelease(false);
  EXPECT_FALSE(a.post_command);
  EXPECT_TRUE(a.release_mouse);
  EXPECT_TRUE(a.repaint);
  EXPECT_FALSE(b.on());
  EXPECT_EQ(b.OnPaint(), kNormal);

  // Off-hook, the same: the picture keeps showing the line as it is.
  Clicker c("ConnectAndCut");
  c.Click();
  c.Click(false);
  EXPECT_TRUE(c.button.on());
  EXPECT_EQ(c.commands, 1);
  EXPECT_EQ(c.button.OnPaint(), kPressed);
  // The next click inside counts.
  c.Click();
  EXPECT_FALSE(c.button.on());
  EXPECT_EQ(c.commands, 2);
}

// ---- Which variant a caption makes ---------------------------------------------------------------

TEST(SkinButtonVariant, OnlyTheExactCaptionMakesTheToggle) {
  SkinButtonState toggle;
  toggle.SetSkin("ConnectAndCut");
  EXPECT_TRUE(toggle.IsToggle());
  for (std::string caption : {"connectAndCut", "ConnectAndcut", "CONNECTANDCUT", "ConnectAndCut ",
                              " ConnectAndCut", "ConnectAndCu", "ConnectAndCutX", "", "退出"}) {
    SkinButtonState b;
    b.SetSkin(caption);
    EXPECT_FALSE(b.IsToggle()) << caption;
    EXPECT_FALSE(b.OnPress().capture_mouse) << caption;
    EXPECT_EQ(b.OnPaint(), kPressed) << caption;  // plain: the pressed picture while held
    b.OnRelease(true);
    EXPECT_EQ(b.OnPaint(), kNormal) << caption;
  }
}

TEST(SkinButtonVariant, SetSkinStartsAfresh) {
  SkinButtonState b;
  b.SetSkin("ConnectAndCut");
  b.OnPress();
  b.OnRelease(true);
  ASSERT_TRUE(b.on());
  b.OnPress();
  b.SetSkin("ConnectAndCut");
  EXPECT_FALSE(b.on());
  EXPECT_FALSE(b.captured());
  EXPECT_EQ(b.mouse_state(), MouseState::kInitial);
  EXPECT_FALSE(b.OnRelease(true).post_command);  // the press before the reset is forgotten
}

// ---- Losing the mouse mid-press ------------------------------------------------------------------

TEST(SkinButtonCaptureLost, TogglePressCutShortByACaptureLossPostsNothingOnTheLaterRelease) {
  Clicker c("ConnectAndCut");
  SkinButtonActions press = c.button.OnPress();
  ASSERT_TRUE(press.capture_mouse);
  EXPECT_EQ(c.button.OnPaint(), kNormal);
  SkinButtonActions lost = c.button.OnCaptureLost();
  EXPECT_TRUE(lost.repaint);
  EXPECT_FALSE(lost.post_command);
  EXPECT_FALSE(c.button.captured());
  EXPECT_EQ(c.button.OnPaint(), kNormal);  // still off: the line did not change
  SkinButtonActions release = c.button.OnRelease(true);
  EXPECT_FALSE(release.post_command);
  EXPECT_FALSE(release.release_mouse);  // nothing is held any more
  EXPECT_FALSE(c.button.on());

  // The next whole click works as ever, and the loss its own release reports changes nothing.
  c.Click();
  EXPECT_EQ(c.commands, 1);
  EXPECT_TRUE(c.button.on());
  SkinButtonActions after = c.button.OnCaptureLost();
  EXPECT_FALSE(after.repaint);
  EXPECT_EQ(c.button.OnPaint(), kPressed);
}

TEST(SkinButtonCaptureLost, PlainButtonPressCutShortPostsNothingAndShowsNormal) {
  Clicker c("退出");
  c.Take(c.button.OnPress());
  EXPECT_EQ(c.button.OnPaint(), kPressed);
  c.Take(c.button.OnCaptureLost());
  EXPECT_EQ(c.button.OnPaint(), kNormal);
  c.Take(c.button.OnRelease(true));
  EXPECT_EQ(c.commands, 0);
}

}  // namespace
}  // namespace pelvarine
