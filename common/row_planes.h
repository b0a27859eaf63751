// Moving samples between interleaved rows, as picture files hold them, and
// planes stored column by column (sample of column x, row y at px[x*h + y]).
//
// A strip is `rows` rows of w pixels, n samples a pixel (n = 1..4): sample c
// of pixel x in row k is at first[k*stride + x*n + c] (stride in samples, and
// negative for rows stored bottom-up). Row k of the strip is plane row y0 + k
// of the n planes planes[0..n-1], each with columns of h samples. The samples
// move in square tiles (16 x 16 bytes, 8 x 8 16-bit values) so that both the
// rows and the columns are read and written in cache-sized pieces; the result
// is the same as copying sample by sample. Nothing here allocates.
#pragma once

#include <cstddef>
#include <cstdint>

namespace korvale {

// planes[c][x*h + y0 + k] = first[k*stride + x*n + c].
void rows_to_planes(const unsigned char* first, std::ptrdiff_t stride, int rows, int w, int n,
                    unsigned char* const* planes, std::size_t h, std::size_t y0);

// first[k*stride + x*n + c] = planes[c][x*h + y0 + k]; bytes of a row past
// w*n samples are left as they are.
void planes_to_rows(const unsigned char* const* planes, std::size_t h, std::size_t y0, int rows,
                    int w, int n, unsigned char* first, std::ptrdiff_t stride);

// The same for 16-bit samples. With swap, each value's two bytes change
// places on the way (big-endian rows and native planes, either way).
void rows_to_planes16(const std::uint16_t* first, std::ptrdiff_t stride, int rows, int w, int n,
                      std::uint16_t* const* planes, std::size_t h, std::size_t y0, bool swap);
void planes_to_rows16(const std::uint16_t* const* planes, std::size_t h, std::size_t y0, int rows,
                      int w, int n, std::uint16_t* first, std::ptrdiff_t stride, bool swap);

}  // namespace korvale
