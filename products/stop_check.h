// A question a long computation asks between its steps: whether to give up and return what is
// exact so far.
#pragma once

// Polled by one thread only; `requested` null never asks to stop.
struct StopCheck {
  bool (*requested)(void* context) = nullptr;
  void* context = nullptr;
};

inline bool stop_requested(const StopCheck& check) {
  return check.requested != nullptr && check.requested(check.context);
}
