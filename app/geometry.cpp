// -resize GEOMETRY: parsing the notation and computing the size it gives.
#include "app/geometry.h"

#include <algorithm>
#include <cmath>

namespace korvale {
namespace {

// Largest number accepted for a side, an area or a percentage: far beyond
// any picture, small enough that every product below stays exact in double.
constexpr std::int64_t kLargestNumber = 1'000'000'000'000;

bool is_digit(char c) {
  return c >= '0' && c <= '9';
}

// Reads digits at text[*at..] as a whole number of at least 1; false when
// there are none, they make 0, or more than kLargestNumber.
bool read_count(const std::string& text, std::size_t* at, std::int64_t* value) {
  std::int64_t v = 0;
  const std::size_t start = *at;
  while (*at < text.size() && is_digit(text[*at])) {
    v = v * 10 + (text[*at] - '0');
    if (v > kLargestNumber) return false;
    ++*at;
  }
  *value = v;
  return *at > start && v > 0;
}

// Reads a percentage "D[.D]" followed by '%' at text[*at..]; it must be above 0.
bool read_percent(const std::string& text, std::size_t* at, double* value) {
  const std::size_t start = *at;
  while (*at < text.size() && is_digit(text[*at])) ++*at;
  const std::size_t int_end = *at;
  if (*at < text.size() && text[*at] == '.') {
    ++*at;
    const std::size_t frac_start = *at;
    while (*at < text.size() && is_digit(text[*at])) ++*at;
    if (*at == frac_start) return false;
  }
  if (int_end == start || *at - start > 20) return false;
  if (*at >= text.size() || text[*at] != '%') return false;
  *value = std::stod(text.substr(start, *at - start));
  ++*at;
  return *value > 0 && *value <= static_cast<double>(kLargestNumber);
}

// floor(v + 0.5), at least 1.
std::int64_t round_side(double v) {
  return std::max<std::int64_t>(1, static_cast<std::int64_t>(std::floor(v + 0.5)));
}

}  // namespace

std::string parse_geometry(const std::string& text, Geometry* geometry) {
  const std::string refusal = "-resize " + text +
                              " is not a geometry korvale reads (N%, N%xM%, W, Wx, xH, WxH, "
                              "WxH!, WxH^ or N@, each with an optional trailing >)";
  Geometry g;
  std::string body = text;
  if (!body.empty() && body.back() == '>') {
    g.only_larger = true;
    body.pop_back();
  }
  if (body.empty()) return refusal;

  std::size_t at = 0;
  if (body.back() == '@') {
    // N@
    body.pop_back();
    g.kind = Geometry::Kind::area;
    if (!read_count(body, &at, &g.area) || at != body.size()) return refusal;
  } else if (body.find('%') != std::string::npos) {
    // N% or N%xM%
    g.kind = Geometry::Kind::percent;
    if (!read_percent(body, &at, &g.percent_x)) return refusal;
    g.percent_y = g.percent_x;
    if (at < body.size()) {
      if (body[at] != 'x') return refusal;
      ++at;
      if (!read_percent(body, &at, &g.percent_y)) return refusal;
    }
    if (at != body.size()) return refusal;
  } else {
    // W, Wx, xH, WxH, WxH!, WxH^
    char flag = 0;
    if (body.back() == '!' || body.back() == '^') {
      flag = body.back();
      body.pop_back();
    }
    const bool has_width = !body.empty() && is_digit(body[0]);
    if (has_width && !read_count(body, &at, &g.width)) return refusal;
    const bool has_x = at < body.size() && body[at] == 'x';
    if (has_x) ++at;
    const bool has_height = has_x && at < body.size();
    if (has_height && !read_count(body, &at, &g.height)) return refusal;
    if (at != body.size() || (!has_width && !has_height)) return refusal;
    if (has_width && has_height) {
      g.kind = flag == '!'   ? Geometry::Kind::exact
               : flag == '^' ? Geometry::Kind::cover
                             : Geometry::Kind::fit;
    } else {
      if (flag != 0) return refusal;  // '!' and '^' need both sides
      g.kind = has_width ? Geometry::Kind::width : Geometry::Kind::height;
    }
  }
  *geometry = g;
  return "";
}

void geometry_size(const Geometry& g, int w, int h, std::int64_t* out_w, std::int64_t* out_h) {
  const double fw = w;
  const double fh = h;
  // With '>', a picture that is not larger than the geometry keeps its size.
  if (g.only_larger) {
    bool larger = false;
    switch (g.kind) {
      case Geometry::Kind::percent:
        larger = g.percent_x < 100.0 || g.percent_y < 100.0;
        break;
      case Geometry::Kind::width:
        larger = w > g.width;
        break;
      case Geometry::Kind::height:
        larger = h > g.height;
        break;
      case Geometry::Kind::fit:
      case Geometry::Kind::exact:
      case Geometry::Kind::cover:
        larger = w > g.width || h > g.height;
        break;
      case Geometry::Kind::area:
        larger = std::int64_t{w} * h > g.area;
        break;
    }
    if (!larger) {
      *out_w = w;
      *out_h = h;
      return;
    }
  }
  double scale = 1.0;
  switch (g.kind) {
    case Geometry::Kind::percent:
      *out_w = round_side(g.percent_x * fw / 100.0);
      *out_h = round_side(g.percent_y * fh / 100.0);
      return;
    case Geometry::Kind::exact:
      *out_w = g.width;
      *out_h = g.height;
      return;
    case Geometry::Kind::area: {
      // Side times sqrt(N / (w h)), truncated; the tiny addend keeps an exact
      // square from landing just below its root.
      const double shrink = std::sqrt(fw * fh) / std::sqrt(static_cast<double>(g.area) + 1e-6);
      *out_w = std::max<std::int64_t>(1, static_cast<std::int64_t>(fw / shrink));
      *out_h = std::max<std::int64_t>(1, static_cast<std::int64_t>(fh / shrink));
      return;
    }
    case Geometry::Kind::width:
      scale = static_cast<double>(g.width) / fw;
      break;
    case Geometry::Kind::height:
      scale = static_cast<double>(g.height) / fh;
      break;
    case Geometry::Kind::fit:
      scale = std::min(static_cast<double>(g.width) / fw, static_cast<double>(g.height) / fh);
      break;
    case Geometry::Kind::cover:
      scale = std::max(static_cast<double>(g.width) / fw, static_cast<double>(g.height) / fh);
      break;
  }
  *out_w = round_side(scale * fw);
  *out_h = round_side(scale * fh);
}

}  // namespace korvale
