#pragma once
// The state machine of the skinned button: which picture shows and what a mouse event asks of the
// window. The caption "ConnectAndCut" makes the toggle variant (the phone button), which flips between
// its off and on pictures at each click; every other caption makes a plain button.

#include <cstddef>
#include <string_view>

namespace pelvarine {

constexpr std::string_view kToggleCaption = "ConnectAndCut";

enum class SkinPicture { kNormal, kPressed, kHover };

enum class MouseState { kInitial = -1, kUp = 0, kDown = 1, kOver = 2, kOut = 3 };

// What the window does after an event, in this order: capture or release the mouse, post its command to
// the parent, request a repaint without erasing.
struct SkinButtonActions {
  bool capture_mouse = false;
  bool release_mouse = false;
  bool post_command = false;
  bool repaint = false;
};

class SkinButtonState {
 public:
  void SetSkin(std::string_view caption);

  SkinButtonActions OnPress();
  SkinButtonActions OnRelease(bool inside);  // inside: the point lies in the client rectangle
  SkinButtonActions OnMove();                // the window also passes the move on and tracks leaving
  SkinButtonActions OnLeave();
  // The mouse went to another window mid-press (a task switch, a message box): the press is over, so
  // a later release posts nothing. Our own release of the mouse, which also reports a loss, changes
  // nothing.
  SkinButtonActions OnCaptureLost();
  // The picture the next paint shows; consumes the one-shot flag that chose it.
  SkinPicture OnPaint();
  // Requests are answered one per paint, but the window merges the repaints asked for between two paints
  // into one: while this is true another paint is owed, or a stale request would decide a later picture.
  bool RepaintPending() const { return IsToggle() && (released_ || hover_ || leave_); }

  bool IsToggle() const { return std::string_view(caption_, caption_length_) == kToggleCaption; }
  bool on() const { return on_; }
  bool captured() const { return captured_; }
  MouseState mouse_state() const { return mouse_state_; }

 private:
  SkinPicture ToggleRestPicture() const { return on_ ? SkinPicture::kPressed : SkinPicture::kNormal; }

  char caption_[1024] = {};
  size_t caption_length_ = 0;
  bool captured_ = false;
  bool pressed_ = false;
  bool released_ = false;
  bool on_ = false;
  bool hover_ = false;
  bool leave_ = false;
  MouseState mouse_state_ = MouseState::kInitial;
};

}  // namespace pelvarine
