#include "ui/skin_button_routing.h"

#include <gtest/gtest.h>

namespace pelvarine {
namespace {

namespace m = button_message;

// Windows' own button procedure paints the plain push button, caption and all, on each of these
// (documented for the keyboard cues, enabling, captions, push states, styles and focus); none may
// leave that drawing on the screen.
TEST(SkinButtonRouting, EveryMessageOnWhichTheStockButtonPaintsIsFollowedByThePicture) {
  for (uint32_t message : {m::kUpdateUiState, m::kChangeUiState, m::kEnable, m::kSetText, m::kSetFont,
                           m::kSetState, m::kSetStyle, m::kSetCheck, m::kSetFocus, m::kKillFocus, m::kKeyDown,
                           m::kKeyUp, m::kChar, m::kSysKeyDown, m::kSysKeyUp}) {
    EXPECT_EQ(RouteButtonMessage(message), ButtonMessageRoute::kBaseThenRepaint) << std::hex << message;
  }
}

// Painting, the press and release, and the loss of the mouse are the skinned button's alone: the
// stock procedure would draw its own pushed state or post its own click.
TEST(SkinButtonRouting, PaintingAndPressesNeverReachTheStockButton) {
  for (uint32_t message : {m::kPaint, m::kEraseBackground, m::kLeftButtonDown, m::kLeftButtonUp,
                           m::kLeftButtonDoubleClick, m::kCaptureChanged, m::kMouseLeave}) {
    EXPECT_EQ(RouteButtonMessage(message), ButtonMessageRoute::kOwn) << std::hex << message;
  }
  EXPECT_EQ(RouteButtonMessage(m::kMouseMove), ButtonMessageRoute::kBaseThenOwn);
  EXPECT_EQ(RouteButtonMessage(0x0084), ButtonMessageRoute::kBase);  // hit testing draws nothing
}

}  // namespace
}  // namespace pelvarine
