// MCAP files, the storage of ROS 2 since Iron: messages in the ros2 profile
// (CDR) or the ros1 profile, in chunks stored plain or compressed with zstd
// or lz4, with or without the summary section. Files cut short by a killed
// recorder are read up to the cut.
#pragma once

#include "bag_reader.h"

// Opens the files of one recording (a split recording has several); null
// and the reason when one cannot be opened.
std::unique_ptr<BagReader> OpenMcapBag(const std::vector<std::string>& paths, std::string& problem);
