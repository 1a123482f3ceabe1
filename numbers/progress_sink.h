// Where a computation reports how far it is: a function and the context it is called with, so
// that the computing libraries never draw anything themselves.
#pragma once

#include <cstdint>

struct ProgressSink {
  void (*advance)(void* context, std::uint32_t value) = nullptr;  // none: progress is not shown
  void* context = nullptr;
};

inline void progress_advance(const ProgressSink& sink, std::uint32_t value) {
  if (sink.advance != nullptr) sink.advance(sink.context, value);
}
