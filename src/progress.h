// A one-line progress display on stderr for long walks: how far through the
// bag, clouds so far, throughput and time left. Redrawn at most ten times a
// second and erased before anything else is written to stderr, which goes
// through PrintDiagnostic.
#pragma once

#include <cstdint>

void ProgressStart(bool enabled, std::uint64_t total_messages);
void ProgressUpdate(std::uint64_t messages, int clouds, std::uint64_t bytes);
// Erases the line, if one is shown; call before writing to stderr.
void ProgressClear();

// One diagnostic line on stderr, "bag_cloud_dump: " and the formatted text:
// the progress line is erased and stdout flushed first, so that the line
// shows up after the report it concerns.
void PrintDiagnostic(const char* format, ...) __attribute__((format(printf, 1, 2)));
