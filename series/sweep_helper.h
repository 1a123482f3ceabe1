// A second thread for the series: it runs one job at a time, handed over by the run's thread.
// Both sides spin briefly before they sleep, because sweeps follow each other within microseconds.
#pragma once

#include <atomic>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>

struct SweepHelper {
  std::thread thread;
  std::mutex mutex;
  std::condition_variable changed;
  std::function<void()> job;        // the job handed over; set before `busy`
  std::atomic<bool> busy{false};    // a job is waiting or running
  std::atomic<bool> quitting{false};

  // Starts the thread; false when the system refuses one.
  bool start();
  // Hands `work` to the thread. Requires it idle.
  void run(std::function<void()> work);
  // Waits until the job handed over is done.
  void wait();
  // Ends the thread; safe when it was never started.
  void stop();
};
