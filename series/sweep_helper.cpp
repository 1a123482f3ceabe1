#include "series/sweep_helper.h"

#include <exception>

#include "series/sweep_kernel.h"

namespace {

constexpr int SPINS = 2000;  // rounds of looking before sleeping

// Spins until `done()` holds or the spins run out; returns whether it holds.
template <class Condition>
bool spin_until(Condition done) {
  for (int round = 0; round < SPINS; ++round) {
    if (done()) return true;
    relax(round);
  }
  return done();
}

}  // namespace

bool SweepHelper::start() {
  try {
    thread = std::thread([this] {
      for (;;) {
        auto called = [this] { return quitting.load() || busy.load(std::memory_order_acquire); };
        if (!spin_until(called)) {
          std::unique_lock<std::mutex> lock(mutex);
          changed.wait(lock, called);
        }
        if (!busy.load(std::memory_order_acquire)) return;  // quitting with nothing to do
        job(job_context);
        {
          std::lock_guard<std::mutex> lock(mutex);
          job = nullptr;
          busy.store(false, std::memory_order_release);
        }
        changed.notify_all();
      }
    });
  } catch (const std::exception&) {
    return false;  // no thread to be had (nor memory for its stack or state): the run goes on with
                   // one
  }
  return true;
}

void SweepHelper::run(void (*work)(void* context), void* context) {
  {
    std::lock_guard<std::mutex> lock(mutex);
    job = work;
    job_context = context;
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
    quitting.store(true);
  }
  changed.notify_all();
  thread.join();
}
