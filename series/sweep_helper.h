// A second thread for the series: it runs one job at a time, handed over by the run's thread.
// Both sides spin briefly before they sleep, because sweeps follow each other within microseconds.
#pragma once

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>

struct SweepHelper {
  std::thread thread;
  std::mutex mutex;
  std::condition_variable changed;
  void (*job)(void* context) = nullptr;  // the job handed over; set before `busy`
  void* job_context = nullptr;
  std::atomic<bool> busy{false};  // a job is waiting or running
  std::atomic<bool> quitting{false};

  // Starts the thread; false when the system refuses one.
  bool start();
  // Hands work(context) to the thread. Requires it idle.
  void run(void (*work)(void* context), void* context);
  // Waits until the job handed over is done.
  void wait();
  // Ends the thread; safe when it was never started.
  void stop();
};
