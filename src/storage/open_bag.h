// Opens a recording by what its content says it is.
#pragma once

#include "bag_reader.h"

#include <memory>
#include <string>

// Opens the recording at `path`, of whichever kind its content says; on
// failure returns null and the reason in `problem` (the ROS 1 library's own
// words for what is not another kind).
std::unique_ptr<BagReader> OpenBagReader(const std::string& path, std::string& problem);
