#pragma once
// Delivers Winsock's asynchronous notifications on the UI thread: each socket selects them to a hidden
// message-only window under a message id of its own, so a notification still queued when its socket is
// gone (even if a new socket got the same handle) finds nobody and is dropped.

#include <winsock2.h>

#include <windows.h>

#include <map>

namespace pelvarine::win32 {

class SocketListener {
 public:
  virtual ~SocketListener() = default;
  virtual void OnSocketEvent(int event, int error) = 0;
};

class SocketNotifier {
 public:
  // Creates the hidden window; call on the UI thread.
  SocketNotifier();
  ~SocketNotifier();
  SocketNotifier(const SocketNotifier&) = delete;
  SocketNotifier& operator=(const SocketNotifier&) = delete;

  // Starts delivering `events` (FD_READ, FD_CLOSE, ...) of `socket` to `listener`. False on failure.
  bool Watch(SOCKET socket, long events, SocketListener& listener, UINT* message_id);
  // Stops them; notifications already queued are dropped when they arrive.
  void Forget(SOCKET socket, UINT message_id);

  // Handles the paint messages waiting for any window of this thread, and nothing else.
  static void PumpPaintMessages();

 private:
  static LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM wparam, LPARAM lparam);
  UINT NextMessageId();

  struct Watched {
    SOCKET socket;
    SocketListener* listener;
  };
  HWND window_ = nullptr;
  std::map<UINT, Watched> watched_;
  UINT next_id_;
};

}  // namespace pelvarine::win32
