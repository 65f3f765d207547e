// One task at a time on a second thread, kept for the whole walk: the walk
// decodes the next cloud while the last one is tallied, without starting a
// thread for every cloud.
#pragma once

#include <condition_variable>
#include <exception>
#include <functional>
#include <mutex>
#include <thread>

class BackgroundWorker {
 public:
  BackgroundWorker() = default;
  BackgroundWorker(const BackgroundWorker&) = delete;
  BackgroundWorker& operator=(const BackgroundWorker&) = delete;
  ~BackgroundWorker();  // waits for the task in hand, then ends the thread

  // Waits for the task before, then hands this one over. Rethrows what the
  // task before threw.
  void Run(std::function<void()> task);

  // Waits until the task in hand is done; rethrows what it threw.
  void Wait();

  // Whether a task is in hand now.
  bool Busy();

 private:
  void Serve();

  std::mutex mutex_;
  std::condition_variable changed_;
  std::function<void()> task_;
  bool busy_ = false;
  bool stopping_ = false;
  std::exception_ptr failure_;
  std::thread thread_;  // started with the first task
};
