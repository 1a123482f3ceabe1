#include "compute/sweep_helper.h"

#include <system_error>

namespace {

constexpr int SPINS = 20000;  // about a millisecond of looking before sleeping

void relax() {
#if defined(__x86_64__) || defined(__i386__)
  __builtin_ia32_pause();
#else
  std::this_thread::yield();
#endif
}

// Spins until `done()` holds or the spins run out; returns whether it holds.
template <class Condition>
bool spin_until(Condition done) {
  for (int spin = 0; spin < SPINS; ++spin) {
    if (done()) return true;
    relax();
  }
  return done();
}

}  // namespace

bool SweepHelper::start() {
  try {
    thread = std::thread([this] {
      for (;;) {
        if (!spin_until([this] { return busy.load(std::memory_order_acquire); })) {
          std::unique_lock<std::mutex> lock(mutex);
          changed.wait(lock, [this] { return quitting || busy.load(std::memory_order_acquire); });
          if (!busy.load(std::memory_order_acquire)) return;  // quitting with nothing to do
        }
        job();
        {
          std::lock_guard<std::mutex> lock(mutex);
          job = nullptr;
          busy.store(false, std::memory_order_release);
        }
        changed.notify_all();
      }
    });
  } catch (const std::system_error&) {
    return false;  // no thread to be had: the run goes on with one
  }
  return true;
}

void SweepHelper::run(std::function<void()> work) {
  {
    std::lock_guard<std::mutex> lock(mutex);
    job = std::move(work);
    busy.store(true, std::memory_order_release);
  }
  changed.notify_all();
}

void SweepHelper::wait() {
  if (spin_until([this] { return !busy.load(std::memory_order_acquire); })) return;
  std::unique_lock<std::mutex> lock(mutex);
  changed.wait(lock, [this] { return !busy.load(std::memory_order_acquire); });
}

void SweepHelper::stop() {
  if (!thread.joinable()) return;
  {
    std::lock_guard<std::mutex> lock(mutex);
    quitting = true;
  }
  changed.notify_all();
  thread.join();
}
