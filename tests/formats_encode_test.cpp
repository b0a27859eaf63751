// Writing: pictures of each kind (gray, gray+alpha, RGB, RGBA; 8 and 16
// bits) encoded in every format, read back by korvale and by ImageMagick;
// ICC profile, EXIF and XMP carried or stripped; JPEG and WebP quality;
// BMP's 24- and 32-bit layouts; the output format chosen by extension.
#include <cmath>
#include <cstring>

#include "bmp/bmp.h"
#include "formats_test_util.h"

namespace korvale {
namespace {

using namespace formats_test;

struct Kind {
  const char* name;
  int bits, colors;
  bool alpha;
};
const Kind kKinds[] = {{"gray8", 8, 1, false}, {"graya8", 8, 1, true},   {"rgb8", 8, 3, false},
                       {"rgba8", 8, 3, true},  {"gray16", 16, 1, false}, {"rgb16", 16, 3, false},
                       {"rgba16", 16, 3, true}};

// A smooth picture with a little noise (so lossy coders stay close) and an
// alpha ramp with fully transparent spots; 16-bit samples use all 16 bits.
Picture make_picture(const Kind& k, int w = 41, int h = 27) {
  Picture p;
  p.w = w;
  p.h = h;
  p.bits = k.bits;
  p.colors = k.colors;
  p.alpha = k.alpha;
  unsigned seed = 12345;
  for (int c = 0; c < p.channels(); ++c) {
    ColorPlane p8 = named_plane(w, h, "T");
    WidePlane p16 = named_plane<std::uint16_t>(w, h, "T");
    for (int x = 0; x < w; ++x) {
      for (int y = 0; y < h; ++y) {
        seed = seed * 1103515245u + 12345u;
        const double ramp = (x * 5.0 + y * 3.0 + c * 40.0) / (w * 5.0 + h * 3.0 + 120.0);
        double v = std::fmod(ramp + ((seed >> 16) % 9) / 2000.0, 1.0);
        if (c == p.colors && (x + 2 * y) % 7 == 0) v = 0;  // transparent spots
        p16.at(x, y) = static_cast<std::uint16_t>(std::lround(v * 65535));
        p8.at(x, y) = static_cast<unsigned char>(std::lround(v * 255));
      }
    }
    if (k.bits == 16)
      p.wide.push_back(std::move(p16));
    else
      p.planes.push_back(std::move(p8));
  }
  return p;
}

// What a format keeps of the picture, as RGBA16: 16-bit samples rounded to
// 8 bits where the format holds only 8, alpha dropped where it holds none.
std::vector<std::uint16_t> expected(const Picture& p, bool keeps16, bool keeps_alpha) {
  std::vector<std::uint16_t> v = rgba16(p);
  for (std::size_t i = 0; i < v.size(); ++i) {
    if (p.bits == 16 && !keeps16)
      v[i] = static_cast<std::uint16_t>(std::lround(v[i] * 255.0 / 65535.0) * 257);
    if (i % 4 == 3 && !keeps_alpha) v[i] = 65535;
  }
  return v;
}

struct Target {
  ImageFormat f;
  const char* ext;
  bool lossless, keeps16, keeps_gray, keeps_alpha;
};
const Target kTargets[] = {{ImageFormat::png, "png", true, true, true, true},
                           {ImageFormat::tiff, "tif", true, true, true, true},
                           {ImageFormat::webp, "webp", true, false, false, true},  // lossless
                           {ImageFormat::bmp, "bmp", true, false, false, true},
                           {ImageFormat::jpeg, "jpg", false, false, true, false},
                           {ImageFormat::webp, "webp", false, false, false, true}};

TEST(FormatsEncode, EveryKindRoundTripsThroughKorvaleAndImageMagick) {
  KORVALE_NEED_ALL_FORMATS();
  ScratchDir d;
  for (const Target& t : kTargets) {
    for (const Kind& k : kKinds) {
      const std::string what =
          std::string(k.name) + " as " + t.ext + (t.lossless ? "" : " (lossy)");
      const Picture src = make_picture(k);
      WriteSettings ws;
      ws.webp_lossless = t.lossless;
      std::vector<unsigned char> bytes;
      ASSERT_EQ(encode_picture(t.f, src, ws, &bytes), "") << what;
      const std::string path = d / (std::string(k.name) + "." + t.ext);
      write_bytes(path, bytes);
      Picture back;
      ASSERT_EQ(decode_picture(bytes.data(), bytes.size(), ReadSettings{}, &back), "") << what;
      EXPECT_EQ(back.bits, t.keeps16 ? k.bits : 8) << what;
      EXPECT_EQ(back.colors, t.keeps_gray ? k.colors : 3) << what;
      // korvale's BMP reader drops alpha; ImageMagick reads it below.
      const bool bmp = t.f == ImageFormat::bmp;
      EXPECT_EQ(back.alpha, t.keeps_alpha && k.alpha && !bmp) << what;
      const std::vector<std::uint16_t> ours = rgba16(back);
      // Lossless: every sample as written (colour under alpha 0 aside for
      // WebP and BMP, which may drop it); lossy: close on the whole.
      if (t.lossless) {
        EXPECT_EQ(worst_level_diff(ours, expected(src, t.keeps16, t.keeps_alpha && !bmp)), 0)
            << what;
      } else {
        const std::vector<std::uint16_t> want = expected(src, false, t.keeps_alpha);
        double sum = 0;
        for (std::size_t i = 0; i < want.size(); ++i) sum += std::abs(ours[i] - want[i]) / 257.0;
        EXPECT_LT(sum / static_cast<double>(want.size()), 2.5) << what;
      }
      // ImageMagick reads the same pixels from the file.
      EXPECT_LE(worst_level_diff(im_rgba16(path), bmp ? expected(src, false, true) : ours),
                t.f == ImageFormat::jpeg ? 1.0 : 0.0)
          << what;
    }
  }
}

// An sRGB display profile made by LittleCMS through Pillow.
std::vector<unsigned char> make_icc(const ScratchDir& d) {
  EXPECT_TRUE(
      python("import sys\nfrom PIL import ImageCms\nopen(sys.argv[1] + '/p.icc', 'wb').write("
             "ImageCms.ImageCmsProfile(ImageCms.createProfile('sRGB')).tobytes())\n",
             d.path));
  return file_bytes(d / "p.icc");
}

// EXIF in Intel order with IFD0 holding Orientation = o and one more tag.
std::vector<unsigned char> make_exif(int o) {
  return {'I',  'I',  42, 0, 8, 0, 0, 0,  // header, IFD0 at 8
          2,    0,                        // two entries
          0x12, 0x01, 3,  0, 1, 0, 0, 0, static_cast<unsigned char>(o),
          0,    0,    0,  // Orientation
          0x28, 0x01, 3,  0, 1, 0, 0, 0, 2,
          0,    0,    0,  // ResolutionUnit = inch
          0,    0,    0,  0};
}

TEST(FormatsEncode, ProfileExifAndXmpAreCarriedOrStripped) {
  KORVALE_NEED_ALL_FORMATS();
  ScratchDir d;
  const std::string xmp_text = "<x:xmpmeta xmlns:x='adobe:ns:meta/'><rdf:RDF/></x:xmpmeta>";
  Picture p = make_picture(kKinds[3]);  // rgba8
  p.icc = make_icc(d);
  p.exif = make_exif(1);
  p.xmp.assign(xmp_text.begin(), xmp_text.end());
  for (const Target& t : kTargets) {
    if (t.f == ImageFormat::bmp) continue;
    for (bool strip : {false, true}) {
      const std::string what = std::string(t.ext) + (strip ? " stripped" : "");
      WriteSettings ws;
      ws.strip = strip;
      std::vector<unsigned char> bytes;
      ASSERT_EQ(encode_picture(t.f, p, ws, &bytes), "") << what;
      Picture back;
      ASSERT_EQ(decode_picture(bytes.data(), bytes.size(), ReadSettings{}, &back), "") << what;
      const bool exif_kept = t.f != ImageFormat::tiff;  // TIFF output carries no EXIF
      EXPECT_EQ(back.icc, strip ? std::vector<unsigned char>{} : p.icc) << what;
      EXPECT_EQ(back.exif, strip || !exif_kept ? std::vector<unsigned char>{} : p.exif) << what;
      EXPECT_EQ(back.xmp, strip ? std::vector<unsigned char>{} : p.xmp) << what;
      // ImageMagick finds the same profile.
      const std::string path = d / (std::string("meta.") + t.ext);
      write_bytes(path, bytes);
      std::vector<unsigned char> icc;
      capture(std::string(kConvert) + " " + path + " icc:- 2>/dev/null", &icc);
      EXPECT_EQ(icc, strip ? std::vector<unsigned char>{} : p.icc) << what;
    }
    // And korvale finds the profile ImageMagick embeds.
    const std::string im = d / (std::string("im.") + t.ext);
    ASSERT_TRUE(sh(std::string(kConvert) + " " + (d / "meta.png") + " -profile " + (d / "p.icc") +
                   " " + im));
    Picture back;
    ASSERT_EQ(read_picture(im.c_str(), ReadSettings{}, &back), "");
    EXPECT_EQ(back.icc, p.icc) << im;
  }
}

TEST(FormatsEncode, LowerQualityGivesSmallerFiles) {
  KORVALE_NEED_ALL_FORMATS();
  const Picture p = make_picture(kKinds[2], 160, 120);
  for (ImageFormat f : {ImageFormat::jpeg, ImageFormat::webp}) {
    std::vector<unsigned char> low, high;
    WriteSettings s;
    s.quality = 40;
    ASSERT_EQ(encode_picture(f, p, s, &low), "");
    s.quality = 95;
    ASSERT_EQ(encode_picture(f, p, s, &high), "");
    EXPECT_LT(low.size(), high.size()) << format_name(f);
    s.quality = 0;
    EXPECT_EQ(encode_picture(f, p, s, &high), "quality 0 is not within 1..100");
  }
}

// Without alpha, the bytes write_bmp writes; with it, ImageMagick's 32-bit
// layout, which ImageMagick reads back with its alpha.
TEST(FormatsEncode, BmpIs24BitOr32BitWithAlphaMask) {
  KORVALE_NEED_ALL_FORMATS();
  ScratchDir d;
  const Picture rgb = make_picture(kKinds[2]);
  std::vector<unsigned char> bytes;
  ASSERT_EQ(encode_picture(ImageFormat::bmp, rgb, WriteSettings{}, &bytes), "");
  ASSERT_EQ(write_bmp((d / "w").c_str(), rgb.planes[0], rgb.planes[1], rgb.planes[2]), "");
  EXPECT_EQ(bytes, file_bytes(d / "w.bmp"));

  const Picture rgba = make_picture(kKinds[3]);
  ASSERT_EQ(encode_picture(ImageFormat::bmp, rgba, WriteSettings{}, &bytes), "");
  write_bytes(d / "a.bmp", bytes);
  EXPECT_EQ(worst_level_diff(im_rgba16(d / "a.bmp"), rgba16(rgba), false), 0);
  EXPECT_EQ(bytes.size(), 138u + 4u * rgba.w * rgba.h);
  // ImageMagick's own 32-bit BMP of the same picture has the same headers.
  ASSERT_TRUE(sh(std::string(kConvert) + " " + (d / "a.bmp") + " " + (d / "im.bmp")));
  const std::vector<unsigned char> im = file_bytes(d / "im.bmp");
  ASSERT_GE(im.size(), 138u);
  for (std::size_t i : {0, 1, 10, 14, 18, 22, 26, 28, 30, 54, 58, 62, 66, 70}) {
    EXPECT_EQ(im[i], bytes[i]) << "header byte " << i;
  }
}

TEST(FormatsEncode, OutputFormatFollowsTheExtensionAndReadingNamesTheFile) {
  const std::pair<const char*, ImageFormat> good[] = {
      {"a.bmp", ImageFormat::bmp},  {"dir.x/b.PNG", ImageFormat::png},
      {"c.jpg", ImageFormat::jpeg}, {"d.JpEg", ImageFormat::jpeg},
      {"e.tif", ImageFormat::tiff}, {"f.TIFF", ImageFormat::tiff},
      {"g.webp", ImageFormat::webp}};
  for (const auto& [path, want] : good) {
    ImageFormat f = ImageFormat::bmp;
    if (format_available(want)) {
      EXPECT_EQ(output_format_for_path(path, &f), "") << path;
      EXPECT_EQ(f, want) << path;
    } else {  // a build without the library refuses it by name
      EXPECT_EQ(output_format_for_path(path, &f), std::string(path) + ": " + format_name(want) +
                                                      " output needs " + format_library(want) +
                                                      ", which korvale was built without");
    }
  }
  const unsigned char webp[16] = {'R', 'I', 'F', 'F', 8, 0, 0, 0, 'W', 'E', 'B', 'P'};
  Picture none;
  if (!format_available(ImageFormat::webp)) {
    EXPECT_EQ(decode_picture(webp, sizeof webp, ReadSettings{}, &none),
              "a WebP file, but korvale was built without libwebp");
  }
  ImageFormat f;
  EXPECT_EQ(output_format_for_path("out.gif", &f),
            "out.gif: unknown output extension \".gif\" (korvale writes .bmp, .png, .jpg, .jpeg, "
            ".tif, .tiff, .webp)");
  EXPECT_EQ(output_format_for_path("dir.png/out", &f),
            "dir.png/out: no extension to choose the output format by (korvale writes .bmp, .png, "
            ".jpg, .jpeg, .tif, .tiff, .webp)");

  ScratchDir d;
  Picture p;
  const std::string missing = d / "missing.png";
  EXPECT_EQ(read_picture(missing.c_str(), ReadSettings{}, &p),
            missing + ": cannot open (No such file or directory)");
  EXPECT_EQ(read_picture(d.path.c_str(), ReadSettings{}, &p),
            d.path + ": is a folder, not a regular file");
  const std::string text = d / "notes.png";
  write_bytes(text, {'G', 'I', 'F', '8', '9', 'a', 0, 0});
  EXPECT_EQ(read_picture(text.c_str(), ReadSettings{}, &p),
            text + ": not a picture korvale reads (no BMP, PNG, JPEG, TIFF or WebP signature)");
  // A BMP goes through korvale's own reader.
  const Picture rgb = make_picture(kKinds[2]);
  std::vector<unsigned char> bmp;
  ASSERT_EQ(encode_picture(ImageFormat::bmp, rgb, WriteSettings{}, &bmp), "");
  write_bytes(d / "in.bmp", bmp);
  ASSERT_EQ(read_picture((d / "in.bmp").c_str(), ReadSettings{}, &p), "");
  EXPECT_EQ(worst_level_diff(rgba16(p), rgba16(rgb)), 0);
}

}  // namespace
}  // namespace korvale
