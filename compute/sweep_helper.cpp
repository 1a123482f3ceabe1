#include "compute/sweep_helper.h"

#include <system_error>

bool SweepHelper::start() {
  try {
    thread = std::thread([this] {
      std::unique_lock<std::mutex> lock(mutex);
      for (;;) {
        changed.wait(lock, [this] { return quitting || job; });
        if (quitting) return;
        lock.unlock();
        job();
        lock.lock();
        job = nullptr;
        changed.notify_all();
      }
    });
  } catch (const std::system_error&) {
    return false;  // no thread to be had: the run goes on with one
  }
  return true;
}

void SweepHelper::run(std::function<void()> work) {
  std::lock_guard<std::mutex> lock(mutex);
  job = std::move(work);
  changed.notify_all();
}

void SweepHelper::wait() {
  std::unique_lock<std::mutex> lock(mutex);
  changed.wait(lock, [this] { return !job; });
}

void SweepHelper::stop() {
  if (!thread.joinable()) return;
  {
    std::lock_guard<std::mutex> lock(mutex);
    quitting = true;
    changed.notify_all();
  }
  thread.join();
}
