#pragma once
// Which window messages the skinned button keeps to itself and which it lets the platform's own button
// code handle. That code paints the plain grey button straight onto the screen on a number of
// messages (keyboard-cue changes after the first Tab or Alt, enabling, a new caption, a new push state,
// focus changes): on those the skinned picture is painted again at once, so it always has the last word.

#include <cstdint>

namespace pelvarine {

// The platform's message numbers.
namespace button_message {
constexpr uint32_t kSetFocus = 0x0007;
constexpr uint32_t kKillFocus = 0x0008;
constexpr uint32_t kEnable = 0x000A;
constexpr uint32_t kSetText = 0x000C;
constexpr uint32_t kPaint = 0x000F;
constexpr uint32_t kEraseBackground = 0x0014;
constexpr uint32_t kSetFont = 0x0030;
constexpr uint32_t kKeyDown = 0x0100;
constexpr uint32_t kKeyUp = 0x0101;
constexpr uint32_t kChar = 0x0102;
constexpr uint32_t kSysKeyDown = 0x0104;
constexpr uint32_t kSysKeyUp = 0x0105;
constexpr uint32_t kChangeUiState = 0x0127;
constexpr uint32_t kUpdateUiState = 0x0128;
constexpr uint32_t kMouseMove = 0x0200;
constexpr uint32_t kLeftButtonDown = 0x0201;
constexpr uint32_t kLeftButtonUp = 0x0202;
constexpr uint32_t kLeftButtonDoubleClick = 0x0203;
constexpr uint32_t kCaptureChanged = 0x0215;
constexpr uint32_t kMouseLeave = 0x02A3;
constexpr uint32_t kSetCheck = 0x00F1;
constexpr uint32_t kSetState = 0x00F3;
constexpr uint32_t kSetStyle = 0x00F4;
}  // namespace button_message

enum class ButtonMessageRoute {
  kOwn,              // handled by the skinned button alone
  kBaseThenOwn,      // the platform's button code first, then the skinned button's own handling
  kBaseThenRepaint,  // the platform's button code, then the picture painted again at once
  kBase,             // the platform's button code alone: it draws nothing
};

ButtonMessageRoute RouteButtonMessage(uint32_t message);

}  // namespace pelvarine
