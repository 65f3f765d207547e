// Small helpers for the summary's sentences.
#pragma once

#include <cmath>
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

// A duration in the unit a person reads it in: "9999.000 ms" under 10 s,
// "12.345 s" under 10 min, "1 h 02 min 03 s" under 2 days, then "237.8 days".
inline std::string Duration(double seconds) {
  const double magnitude = std::fabs(seconds);
  if (!(magnitude >= 10)) return Format("%.3f ms", seconds * 1e3);
  if (magnitude < 600) return Format("%.3f s", seconds);
  if (magnitude < 2 * 86400.0) {
    const long long whole = std::llround(magnitude);
    const char* sign = seconds < 0 ? "-" : "";
    const long long hours = whole / 3600, minutes = whole / 60 % 60, rest = whole % 60;
    if (hours == 0) return Format("%s%lld min %02lld s", sign, minutes, rest);
    return Format("%s%lld h %02lld min %02lld s", sign, hours, minutes, rest);
  }
  return Format("%.1f days", seconds / 86400);
}

// "10.000 to 12.000 ms": the unit said once when both ends share it.
inline std::string DurationRange(double low, double high) {
  std::string from = Duration(low);
  const std::string to = Duration(high);
  for (const char* unit : {" ms", " s", " days"}) {
    const std::string suffix(unit);
    const auto ends_with = [&suffix](const std::string& text) {
      return text.size() > suffix.size() &&
             text.compare(text.size() - suffix.size(), suffix.size(), suffix) == 0 &&
             text.find(" min ") == std::string::npos;
    };
    if (ends_with(from) && ends_with(to)) {
      from.resize(from.size() - suffix.size());
      break;
    }
  }
  return from + " to " + to;
}

// A count or a median with its thousands grouped: "28,800", "359.5".
inline std::string Grouped(double value) {
  const double whole = std::floor(value);
  std::string digits = Format("%.0f", whole);
  for (int at = static_cast<int>(digits.size()) - 3; at > (digits[0] == '-' ? 1 : 0); at -= 3) {
    digits.insert(static_cast<std::size_t>(at), ",");
  }
  if (value != whole) digits += Format("%g", value - whole).substr(1);  // ".5"
  return digits;
}
