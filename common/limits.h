// The limits every picture korvale reads, shrinks or writes is held to.
#pragma once

#include <cstdint>

namespace korvale {

// Largest width and height of any picture, in pixels.
inline constexpr int kMaxSide = 32768;

// Default largest number of pixels (width x height) per picture, checked
// right after a file's header and before any of its pixels are allocated;
// the command line's -maxpixels changes it.
inline constexpr std::int64_t kDefaultMaxPixels = std::int64_t{1} << 28;

}  // namespace korvale
