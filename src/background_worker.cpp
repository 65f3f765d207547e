#include "background_worker.h"

#include <utility>

BackgroundWorker::~BackgroundWorker() {
  {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait(lock, [this] { return !busy_; });
    stopping_ = true;
  }
  changed_.notify_all();
  if (thread_.joinable()) thread_.join();
}

void BackgroundWorker::Run(std::function<void()> task) {
  Wait();
  {
    // The task before, and the cloud it holds, go here on the calling
    // thread: memory freed where it was taken is reused, not returned to
    // the system and faulted in again.
    const std::lock_guard<std::mutex> lock(mutex_);
    task_ = std::move(task);
    busy_ = true;
  }
  if (!thread_.joinable()) thread_ = std::thread([this] { Serve(); });
  changed_.notify_all();
}

void BackgroundWorker::Wait() {
  std::unique_lock<std::mutex> lock(mutex_);
  changed_.wait(lock, [this] { return !busy_; });
  if (failure_) std::rethrow_exception(std::exchange(failure_, nullptr));
}

bool BackgroundWorker::Busy() {
  const std::lock_guard<std::mutex> lock(mutex_);
  return busy_;
}

void BackgroundWorker::Serve() {
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    changed_.wait(lock, [this] { return busy_ || stopping_; });
    if (!busy_) return;  // stopping, nothing in hand
    lock.unlock();
    std::exception_ptr failure;
    try {
      task_();
    } catch (...) {
      failure = std::current_exception();
    }
    lock.lock();
    failure_ = failure;
    busy_ = false;
    changed_.notify_all();
  }
}
