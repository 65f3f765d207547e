// Writing an 8-bit RGB PNG with text chunks: the sweep pictures and the
// timeline.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <utility>
#include <vector>

// Writes width x height pixels, row_bytes(row) giving each row's 3 x width
// bytes, and the text chunks (key, text). Returns what went wrong ("PATH:
// reason"), or "".
std::string WriteRgbPng(const std::string& path, unsigned width, unsigned height,
                        const std::function<const std::uint8_t*(unsigned row)>& row_bytes,
                        const std::vector<std::pair<std::string, std::string>>& text);
