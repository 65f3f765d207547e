#include "progress.h"

#include <chrono>
#include <cstdarg>
#include <cstdio>

namespace {

using Clock = std::chrono::steady_clock;

struct ProgressState {
  bool enabled = false;
  bool shown = false;
  std::uint64_t total = 0;
  Clock::time_point start;
  Clock::time_point last_draw;
};

ProgressState progress;

}  // namespace

void ProgressStart(bool enabled, std::uint64_t total_messages) {
  progress = ProgressState();
  progress.enabled = enabled;
  progress.total = total_messages;
  progress.start = Clock::now();
  progress.last_draw = progress.start - std::chrono::seconds(1);  // draw at once
}

void ProgressUpdate(std::uint64_t messages, int clouds, std::uint64_t bytes) {
  if (!progress.enabled) return;
  const Clock::time_point now = Clock::now();
  if (now - progress.last_draw < std::chrono::milliseconds(100)) return;
  progress.last_draw = now;
  const double seconds = std::chrono::duration<double>(now - progress.start).count();
  const double done = progress.total > 0 ? static_cast<double>(messages) / progress.total : 1.0;
  const double left = done > 0 ? seconds * (1.0 - done) / done : 0.0;
  const long left_seconds = static_cast<long>(left + 0.5);
  std::fprintf(stderr, "\r%3.0f%% of %llu messages, %d clouds, %.0f MB/s, %ld:%02ld left\033[K",
               done * 100.0, static_cast<unsigned long long>(progress.total), clouds,
               seconds > 0 ? bytes / seconds / 1e6 : 0.0, left_seconds / 60, left_seconds % 60);
  std::fflush(stderr);
  progress.shown = true;
}

void ProgressClear() {
  if (!progress.shown) return;
  std::fputs("\r\033[K", stderr);
  std::fflush(stderr);
  progress.shown = false;
}

void PrintDiagnostic(const char* format, ...) {
  ProgressClear();
  std::fflush(stdout);
  std::fputs("bag_cloud_dump: ", stderr);
  va_list args;
  va_start(args, format);
  std::vfprintf(stderr, format, args);
  va_end(args);
  std::fputc('\n', stderr);
}
