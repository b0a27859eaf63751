// The limits every picture korvale reads, shrinks or writes is held to.
#pragma once

#include <cstdint>
#include <string>

namespace korvale {

// Largest width and height of any picture, in pixels.
inline constexpr int kMaxSide = 32768;

// Default largest number of pixels (width x height) per picture, checked
// right after a file's header and before any of its pixels are allocated;
// the command line's -maxpixels changes it.
inline constexpr std::int64_t kDefaultMaxPixels = std::int64_t{1} << 28;

// The refusal of a w x h picture of more than max_pixels pixels, one line
// naming the limit and the option that changes it; "" within the limit.
inline std::string pixel_limit_refusal(std::int64_t w, std::int64_t h, std::int64_t max_pixels) {
  if (w * h <= max_pixels) return "";
  return std::to_string(w) + "x" + std::to_string(h) + " is " + std::to_string(w * h) +
         " pixels, more than the limit of " + std::to_string(max_pixels) +
         " (-maxpixels N raises it)";
}

}  // namespace korvale
