#include "ui/skin_button_routing.h"

namespace pelvarine {

ButtonMessageRoute RouteButtonMessage(uint32_t message) {
  namespace m = button_message;
  switch (message) {
    case m::kPaint:
    case m::kEraseBackground:
    case m::kLeftButtonDown:
    case m::kLeftButtonUp:
    case m::kLeftButtonDoubleClick:
    case m::kMouseLeave:
    case m::kCaptureChanged:
      return ButtonMessageRoute::kOwn;
    case m::kMouseMove:
      return ButtonMessageRoute::kBaseThenOwn;
    case m::kSetFocus:
    case m::kKillFocus:
    case m::kEnable:
    case m::kSetText:
    case m::kSetFont:
    case m::kKeyDown:
    case m::kKeyUp:
    case m::kChar:
    case m::kSysKeyDown:
    case m::kSysKeyUp:
    case m::kChangeUiState:
    case m::kUpdateUiState:
    case m::kSetCheck:
    case m::kSetState:
    case m::kSetStyle:
      return ButtonMessageRoute::kBaseThenRepaint;
    default:
      return ButtonMessageRoute::kBase;
  }
}

}  // namespace pelvarine
