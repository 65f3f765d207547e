// Small helpers for the summary's sentences.
#pragma once

#include <cstdarg>
#include <cstdio>
#include <string>

// printf into a std::string (up to 511 characters).
inline std::string Format(const char* format, ...) __attribute__((format(printf, 1, 2)));
inline std::string Format(const char* format, ...) {
  char text[512];
  va_list args;
  va_start(args, format);
  std::vsnprintf(text, sizeof text, format, args);
  va_end(args);
  return text;
}

// "1 cloud", "3 clouds".
inline std::string Plural(long long count, const char* one, const char* many) {
  return std::to_string(count) + " " + (count == 1 ? one : many);
}
