#include "ui/skin_button_state.h"

#include <algorithm>
#include <cstring>

namespace pelvarine {

void SkinButtonState::SetSkin(std::string_view caption) {
  std::memset(caption_, 0, sizeof caption_);
  caption_length_ = std::min(caption.size(), sizeof caption_ - 1);
  std::memcpy(caption_, caption.data(), caption_length_);
  captured_ = pressed_ = released_ = on_ = hover_ = leave_ = false;
  mouse_state_ = MouseState::kInitial;
}

SkinButtonActions SkinButtonState::OnPress() {
  SkinButtonActions actions;
  mouse_state_ = MouseState::kDown;
  if (IsToggle() && !captured_) {
    actions.capture_mouse = true;
    captured_ = true;
  }
  pressed_ = true;
  actions.repaint = true;
  return actions;
}

SkinButtonActions SkinButtonState::OnRelease(bool inside) {
  SkinButtonActions actions;
  mouse_state_ = MouseState::kUp;
  if (IsToggle()) {
    released_ = true;
    if (captured_) {
      actions.release_mouse = true;
      captured_ = false;
    }
  }
  if (!pressed_) return actions;
  pressed_ = false;
  // A release outside posts nothing and leaves the toggle as it was, so the picture keeps matching the
  // line, which changes only on the command.
  if (inside) {
    on_ = !on_;
    actions.post_command = true;
  }
  actions.repaint = true;
  return actions;
}

SkinButtonActions SkinButtonState::OnMove() {
  mouse_state_ = MouseState::kOver;
  hover_ = true;
  SkinButtonActions actions;
  actions.repaint = true;
  return actions;
}

SkinButtonActions SkinButtonState::OnLeave() {
  mouse_state_ = MouseState::kOut;
  leave_ = true;
  SkinButtonActions actions;
  actions.repaint = true;
  return actions;
}

SkinButtonActions SkinButtonState::OnCaptureLost() {
  SkinButtonActions actions;
  if (!pressed_ && !captured_) return actions;
  pressed_ = false;
  captured_ = false;
  mouse_state_ = MouseState::kUp;
  if (IsToggle()) released_ = true;  // back to the picture that matches the line
  actions.repaint = true;
  return actions;
}

SkinPicture SkinButtonState::OnPaint() {
  if (!IsToggle()) {
    switch (mouse_state_) {
      case MouseState::kDown:
        return SkinPicture::kPressed;
      case MouseState::kOver:
        return SkinPicture::kHover;
      default:
        return SkinPicture::kNormal;
    }
  }
  if (released_) {
    released_ = false;
    return ToggleRestPicture();
  }
  if (hover_) {
    hover_ = false;
    return SkinPicture::kHover;
  }
  if (leave_) leave_ = false;
  return ToggleRestPicture();
}

}  // namespace pelvarine
