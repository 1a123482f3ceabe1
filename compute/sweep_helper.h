// A second thread for the series: it runs one job at a time, handed over by the run's thread.
#pragma once

#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>

struct SweepHelper {
  std::thread thread;
  std::mutex mutex;
  std::condition_variable changed;
  std::function<void()> job;  // the job waiting or running; empty when idle
  bool quitting = false;

  // Starts the thread; false when the system refuses one.
  bool start();
  // Hands `work` to the thread. Requires it idle.
  void run(std::function<void()> work);
  // Waits until the job handed over is done.
  void wait();
  // Ends the thread; safe when it was never started.
  void stop();
};
