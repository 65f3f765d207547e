// One picture of the whole walk: time left to right, a band per cloud topic
// with four strips (stamp intervals with gaps and backward or repeated stamps
// marked, points per cloud, share of invalid points, latency), drawn with
// cairo from the summary's per-cloud numbers.
#pragma once

#include "summary/summary.h"

#include <string>

struct TimelineOptions {
  std::string path;       // the PNG; empty: no timeline
  unsigned width = 2000;  // pixels
};

// Creates (empties) the file, so that a path that cannot be written fails
// before the walk, and loads the module that draws (cairo and its libraries
// are loaded only for a timeline); returns what is wrong, or "".
std::string PrepareTimeline(const TimelineOptions& options);

// Draws the timeline of the tallied walk into options.path; returns what
// went wrong, or "". Needs PrepareTimeline first.
std::string WriteTimeline(const TimelineOptions& options, const SummaryTally& tally);

// The module's entry point, looked up by this name.
extern "C" void BagCloudDumpWriteTimeline(const TimelineOptions& options, const SummaryTally& tally,
                                          std::string& problem);

// The colours of the markers, which nothing else in the picture uses.
constexpr unsigned kGapMarker = 0xE0101A;       // a stamp gap (dropped sweeps)
constexpr unsigned kBackwardMarker = 0xB000D0;  // a stamp going back, or repeated
constexpr unsigned kEmptyMarker = 0xF08C00;     // an empty or malformed cloud
