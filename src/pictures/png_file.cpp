#include "pictures/png_file.h"

#include <png.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

std::string WriteRgbPng(const std::string& path, unsigned width, unsigned height,
                        const std::function<const std::uint8_t*(unsigned row)>& row_bytes,
                        const std::vector<std::pair<std::string, std::string>>& text) {
  FILE* file = std::fopen(path.c_str(), "wb");
  if (file == nullptr) return path + ": " + std::strerror(errno);
  png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
  png_infop info = png ? png_create_info_struct(png) : nullptr;
  if (png == nullptr || info == nullptr || setjmp(png_jmpbuf(png))) {
    png_destroy_write_struct(&png, &info);
    std::fclose(file);
    return path + ": libpng failed to write it";
  }
  png_init_io(png, file);
  png_set_IHDR(png, info, width, height, 8, PNG_COLOR_TYPE_RGB, PNG_INTERLACE_NONE,
               PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
  // Range pictures and charts are smooth along rows with long runs of one
  // colour: the Sub filter alone and a light zlib level make files about
  // twice the size of libpng's defaults (every filter tried on every row,
  // level 6) in a third of the time.
  png_set_filter(png, PNG_FILTER_TYPE_BASE, PNG_FILTER_SUB);
  png_set_compression_level(png, 3);
  std::vector<png_text> chunks(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    chunks[i].compression = PNG_TEXT_COMPRESSION_NONE;
    chunks[i].key = const_cast<char*>(text[i].first.c_str());
    chunks[i].text = const_cast<char*>(text[i].second.c_str());
  }
  png_set_text(png, info, chunks.data(), static_cast<int>(chunks.size()));
  png_write_info(png, info);
  for (unsigned row = 0; row < height; ++row) png_write_row(png, row_bytes(row));
  png_write_end(png, info);
  png_destroy_write_struct(&png, &info);
  return std::fclose(file) == 0 ? "" : path + ": " + std::strerror(errno);
}
