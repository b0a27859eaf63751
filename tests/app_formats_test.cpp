// The program on the picture files people keep: about 25 files that Pillow
// and ImageMagick write by default (PNG, JPEG, TIFF, WebP of every everyday
// kind), each run by 0 x 0 against ImageMagick's decode and shrunk by a third
// against the reference pipeline on korvale's own decode; depth, gray, alpha,
// orientation and the ICC profile kept; the format following -out; -o STEM
// still a 24-bit BMP; -quality; refusals of cut, foreign and huge files; and a
// batch of three formats against three one-file runs.
#include <sys/resource.h>

#include <cmath>
#include <cstring>

#include "app_test_util.h"
#include "formats_test_util.h"
#include "resize_test_util.h"
#include "tests/reference/reference.h"

namespace korvale {
namespace {

using namespace formats_test;

// 61 x 47 (no side a multiple of a block or tile): smooth ramps with noise,
// alpha that varies and is 0 along diagonals, 16-bit ramps using every bit.
const char kFiles[] = R"PY(
import random, sys
from PIL import Image
d = sys.argv[1]
random.seed(11)
W, H = 61, 47
def px(x, y, c):
    return max(0, min(255, (x * 5 + y * 4 + c * 70) % 256 + random.randint(-25, 25)))
rgb = Image.new('RGB', (W, H)); rgb.putdata([tuple(px(x, y, c) for c in range(3)) for y in range(H) for x in range(W)])
a = Image.new('L', (W, H)); a.putdata([0 if (x + y) % 7 == 0 else (x * 11 + y) % 256 for y in range(H) for x in range(W)])
rgba = rgb.copy(); rgba.putalpha(a)
gray = rgb.convert('L')
g16 = Image.new('I;16', (W, H)); g16.putdata([(x * 1013 + y * 1301 + random.randint(0, 9)) % 65536 for y in range(H) for x in range(W)])
files = {
  'png_gray.png': (gray, {}), 'png_pal.png': (rgb.quantize(40), {}), 'png_rgba.png': (rgba, {}),
  'png_g16.png': (g16, {}),
  'jpg_base.jpg': (rgb, {}), 'jpg_prog.jpg': (rgb, {'progressive': True}), 'jpg_gray.jpg': (gray, {}),
  'jpg_444.jpg': (rgb, {'subsampling': 0}),
  'tif_strips.tif': (rgb, {}), 'tif_lzw.tif': (rgb, {'compression': 'tiff_lzw'}),
  'tif_deflate.tif': (rgba, {'compression': 'tiff_adobe_deflate'}),
  'tif_packbits.tif': (gray, {'compression': 'packbits'}), 'tif_g16.tif': (g16, {}),
  'webp_lossy.webp': (rgb, {}), 'webp_lossless.webp': (rgb, {'lossless': True}),
  'webp_alpha.webp': (rgba, {}),
}
for name, (im, kw) in files.items():
    im.save(d + '/' + name, **kw)
rgb.save(d + '/src.png')
rgba.save(d + '/src_rgba.png')
)PY";

// Files ImageMagick writes from src.png / src_rgba.png: name, source,
// arguments, output coder prefix.
const char* const kMagick[][4] = {
    {"im_interlaced.png", "src.png", "-interlace PNG", ""},
    {"im_rgb16.png", "src.png", "-evaluate multiply 1.003 -depth 16", "PNG48:"},
    {"im_rgba.png", "src_rgba.png", "", ""},
    {"im_420.jpg", "src.png", "-sampling-factor 2x2", ""},
    {"im_cmyk.jpg", "src.png", "-colorspace CMYK", ""},
    {"im_tiles.tif", "src_rgba.png", "-define tiff:tile-geometry=16x16", ""},
    {"im_rgb16.tif", "src.png", "-evaluate multiply 1.003 -depth 16 -compress zip", ""},
    {"im_gray.tif", "src.png", "-colorspace gray", ""},
    {"im_lossy.webp", "src.png", "", ""},
};

bool is_jpeg(const std::string& name) {
  return name.size() > 4 && name.compare(name.size() - 4, 4, ".jpg") == 0;
}

class ProgramFormats : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    dir_ = new ScratchDir;
    ASSERT_TRUE(python(kFiles, dir_->path));
    names_ = new std::vector<std::string>;
    for (const char* name :
         {"png_gray.png", "png_pal.png", "png_rgba.png", "png_g16.png", "jpg_base.jpg",
          "jpg_prog.jpg", "jpg_gray.jpg", "jpg_444.jpg", "tif_strips.tif", "tif_lzw.tif",
          "tif_deflate.tif", "tif_packbits.tif", "tif_g16.tif", "webp_lossy.webp",
          "webp_lossless.webp", "webp_alpha.webp"}) {
      names_->push_back(name);
    }
    for (const auto& f : kMagick) {
      const std::string cmd =
          std::string(kConvert) + " " + (*dir_ / f[1]) + " " + f[2] + " " + f[3] + (*dir_ / f[0]);
      ASSERT_TRUE(sh(cmd)) << cmd;
      names_->push_back(f[0]);
    }
  }
  static void TearDownTestSuite() {
    delete dir_;
    delete names_;
    dir_ = nullptr;
    names_ = nullptr;
  }

  static apptest::RunResult korvale(const std::vector<std::string>& args) {
    std::vector<std::string> full = {"-quiet"};
    full.insert(full.end(), args.begin(), args.end());
    return apptest::run(KORVALE_BIN, full, dir_->path);
  }

  static Picture decoded(const std::string& name) {
    Picture p;
    const std::string error = read_picture((*dir_ / name).c_str(), ReadSettings(), &p);
    EXPECT_EQ(error, "") << name;
    return p;
  }

  static ScratchDir* dir_;
  static std::vector<std::string>* names_;
};
ScratchDir* ProgramFormats::dir_ = nullptr;
std::vector<std::string>* ProgramFormats::names_ = nullptr;

// The reference's values of plane `src` shrunk by a x b (8-bit planes).
std::vector<double> reference_values(int a, int b, const ColorPlane& src) {
  std::vector<double> v(static_cast<std::size_t>(src.w - a) * (src.h - b));
  reference::resize_plane_values(a, b, src, v.data());
  return v;
}

// The reference's premultiplied colour c of p shrunk by a x b: colour times
// alpha is up to 65025, so it is split into two byte planes (the pipeline is
// linear), resized, and divided by the resized alpha.
std::vector<double> reference_premultiplied(int a, int b, const Picture& p, int c) {
  ColorPlane hi = named_plane<unsigned char>(p.w, p.h, "test");
  ColorPlane lo = named_plane<unsigned char>(p.w, p.h, "test");
  for (std::size_t i = 0; i < static_cast<std::size_t>(p.w) * p.h; ++i) {
    const int v = p.planes[c].px[i] * p.planes[p.colors].px[i];
    hi.px[i] = static_cast<unsigned char>(v >> 8);
    lo.px[i] = static_cast<unsigned char>(v & 255);
  }
  const std::vector<double> vh = reference_values(a, b, hi), vl = reference_values(a, b, lo);
  const std::vector<double> va = reference_values(a, b, p.planes[p.colors]);
  std::vector<double> out(vh.size());
  for (std::size_t i = 0; i < out.size(); ++i) {
    out[i] = va[i] < 0.5 ? 0 : round_sample((vh[i] * 256 + vl[i]) / va[i], 255);
  }
  return out;
}

TEST_F(ProgramFormats, EveryFileRunsExactlyAtZeroAndMatchesTheReferenceAtAThird) {
  KORVALE_NEED_ALL_FORMATS();
  ASSERT_GE(names_->size(), 25u);
  const test::QuietStderr quiet;  // the reference's progress lines
  for (const std::string& name : *names_) {
    SCOPED_TRACE(name);
    const Picture in = decoded(name);
    ASSERT_GT(in.w, 0);

    // 0 x 0 into PNG: ImageMagick's decode of the input, every sample
    // (JPEG within one level, two decoders' rounding of the colour
    // conversion), at the input's depth, gray, alpha.
    ASSERT_EQ(korvale({"-i", name, "-out", "zero.png", "-sizexminus", "0"}).status, 0);
    const Picture zero = decoded("zero.png");
    EXPECT_EQ(zero.bits, in.bits);
    EXPECT_EQ(zero.colors, in.colors);
    EXPECT_EQ(zero.alpha, in.alpha);
    const double worst =
        worst_level_diff(im_rgba16(*dir_ / name), im_rgba16(*dir_ / "zero.png"), false);
    EXPECT_GE(worst, 0);
    EXPECT_LE(worst, is_jpeg(name) ? 1.0 : 0.0);

    // A third less each way: the reference pipeline on korvale's decode.
    const int a = in.w / 3, b = in.h / 3;
    ASSERT_EQ(korvale({"-i", name, "-out", "third.png", "-sizexminus", std::to_string(a),
                       "-sizexminusy", std::to_string(b)})
                  .status,
              0);
    const Picture third = decoded("third.png");
    ASSERT_EQ(third.w, in.w - a);
    ASSERT_EQ(third.h, in.h - b);
    ASSERT_EQ(third.channels(), in.channels());
    ASSERT_EQ(third.bits, in.bits);
    for (int c = 0; c < in.channels(); ++c) {
      const std::size_t n = static_cast<std::size_t>(third.w) * third.h;
      if (in.bits == 16) {
        WidePlane want = named_plane<std::uint16_t>(third.w, third.h, "test");
        reference::resize_plane(a, b, in.wide[c], want);
        EXPECT_EQ(std::memcmp(want.px.get(), third.wide[c].px.get(), n * 2), 0) << c;
      } else if (!in.alpha || c == in.colors) {
        ColorPlane want = named_plane<unsigned char>(third.w, third.h, "test");
        reference::resize_plane(a, b, in.planes[c], want);
        EXPECT_EQ(std::memcmp(want.px.get(), third.planes[c].px.get(), n), 0) << c;
      } else {
        // Premultiplied colours: within a level (the two divide values that
        // differ in their last bits).
        const std::vector<double> want = reference_premultiplied(a, b, in, c);
        double far = 0;
        for (std::size_t i = 0; i < n; ++i)
          far = std::max(far, std::abs(want[i] - third.planes[c].px[i]));
        EXPECT_LE(far, 1.0) << c;
      }
    }
  }
}

TEST_F(ProgramFormats, AlphaOrientationProfileAndSettingsAreKept) {
  KORVALE_NEED_ALL_FORMATS();
  ASSERT_TRUE(python(R"PY(
import sys
from PIL import Image, ImageDraw, ImageCms
d = sys.argv[1]
shape = Image.new('RGBA', (90, 60), (0, 0, 0, 0))
ImageDraw.Draw(shape).ellipse((15, 10, 75, 50), fill=(255, 255, 255, 255))
shape.save(d + '/shape.png')
photo = Image.open(d + '/src.png').resize((80, 50))
exif = Image.Exif(); exif[0x0112] = 6
icc = ImageCms.ImageCmsProfile(ImageCms.createProfile('sRGB')).tobytes()
photo.save(d + '/turned.jpg', exif=exif.tobytes(), icc_profile=icc, quality=95)
open(d + '/turned.icc', 'wb').write(icc)
check = Image.new('L', (64, 64)); check.putdata([255 * ((x + y) % 2) for y in range(64) for x in range(64)])
check.save(d + '/check.png')
)PY",
                     dir_->path));
  // A white shape on transparent black: every visible pixel stays white.
  ASSERT_EQ(korvale({"-i", "shape.png", "-out", "shape_small.png", "-resize", "37%"}).status, 0);
  const Picture shape = decoded("shape_small.png");
  ASSERT_TRUE(shape.alpha);
  int edges = 0;
  for (int x = 0; x < shape.w; ++x) {
    for (int y = 0; y < shape.h; ++y) {
      const int alpha = shape.planes[3].at(x, y);
      if (alpha == 0) continue;
      edges += alpha < 255;
      for (int c = 0; c < 3; ++c) ASSERT_GE(shape.planes[c].at(x, y), 254) << x << "," << y;
    }
  }
  EXPECT_GT(edges, 10);

  // Orientation 6 turned upright (50 x 80), the profile carried over
  // unchanged, and EXIF saying 1; with -norotate the stored 80 x 50; with
  // -strip no profile.
  const std::string icc = apptest::read_file(*dir_ / "turned.icc");
  ASSERT_EQ(korvale({"-i", "turned.jpg", "-out", "up.jpg", "-resize", "50%"}).status, 0);
  ASSERT_EQ(korvale({"-i", "turned.jpg", "-out", "up.png", "-sizexminus", "0"}).status, 0);
  ASSERT_EQ(
      korvale({"-i", "turned.jpg", "-out", "stored.tif", "-norotate", "-resize", "50%"}).status, 0);
  ASSERT_EQ(korvale({"-i", "turned.jpg", "-out", "bare.webp", "-strip", "-resize", "50%"}).status,
            0);
  EXPECT_LE(worst_level_diff(im_rgba16(*dir_ / "turned.jpg", "-auto-orient"),
                             im_rgba16(*dir_ / "up.png")),
            1.0);
  std::vector<unsigned char> info;
  ASSERT_TRUE(capture(
      std::string(kConvert) + " " + (*dir_ / "up.jpg") + " -format '%w %h %[orientation]' info:",
      &info));
  EXPECT_EQ(std::string(info.begin(), info.end()), "25 40 TopLeft");
  for (const char* name : {"up.jpg", "up.png", "stored.tif"}) {
    std::vector<unsigned char> profile;
    ASSERT_TRUE(capture(std::string(kConvert) + " " + (*dir_ / name) + " icc:-", &profile));
    EXPECT_EQ(std::string(profile.begin(), profile.end()), icc) << name;
  }
  EXPECT_EQ(decoded("up.png").w, 50);
  EXPECT_EQ(decoded("stored.tif").w, 40);
  EXPECT_EQ(decoded("stored.tif").h, 25);
  const Picture bare = decoded("bare.webp");
  EXPECT_TRUE(bare.icc.empty() && bare.exif.empty() && bare.xmp.empty());

  // -linear: a one-pixel checkerboard halves to half the light of white.
  ASSERT_EQ(
      korvale({"-i", "check.png", "-out", "check_lin.png", "-resize", "50%", "-linear"}).status, 0);
  ASSERT_EQ(korvale({"-i", "check.png", "-out", "check_srgb.png", "-resize", "50%"}).status, 0);
  EXPECT_NEAR(decoded("check_lin.png").planes[0].at(16, 16), 188, 4);
  EXPECT_NEAR(decoded("check_srgb.png").planes[0].at(16, 16), 128, 3);

  // -quality: 40 gives a smaller JPEG and WebP than 95.
  for (const char* ext : {".jpg", ".webp"}) {
    ASSERT_EQ(korvale({"-i", "im_rgba.png", "-out", std::string("q40") + ext, "-quality", "40",
                       "-sizexminus", "0"})
                  .status,
              0);
    ASSERT_EQ(korvale({"-i", "im_rgba.png", "-out", std::string("q95") + ext, "-quality", "95",
                       "-sizexminus", "0"})
                  .status,
              0);
    EXPECT_LT(file_bytes(*dir_ / (std::string("q40") + ext)).size(),
              file_bytes(*dir_ / (std::string("q95") + ext)).size())
        << ext;
  }
}

TEST_F(ProgramFormats, OutputFormatFollowsTheExtensionAndStemStaysPlainBmp) {
  KORVALE_NEED_ALL_FORMATS();
  const std::pair<const char*, const char*> outs[] = {
      {"o.PNG", "PNG"},   {"o.jpg", "JPEG"},  {"o.JPEG", "JPEG"}, {"o.tif", "TIFF"},
      {"o.Tiff", "TIFF"}, {"o.webp", "WEBP"}, {"o.bmp", "BMP"},
  };
  for (const auto& [out, kind] : outs) {
    ASSERT_EQ(korvale({"-i", "png_rgba.png", "-out", out, "-resize", "50%"}).status, 0) << out;
    std::vector<unsigned char> info;
    ASSERT_TRUE(
        capture(std::string(kConvert) + " " + (*dir_ / out) + " -format '%m %w' info:", &info));
    EXPECT_EQ(std::string(info.begin(), info.end()), std::string(kind) + " 31") << out;
  }
  // BMP with alpha: 32 bits; without: 24 bits through the BMP writer.
  EXPECT_EQ(apptest::get_le(apptest::read_file(*dir_ / "o.bmp"), 28, 2), 32u);

  // -o STEM: the 24-bit BMP with the 54-byte header from a 16-bit gray, an
  // RGBA and a gray JPEG input: gray three times, 16 bits rounded to 8,
  // alpha dropped, each sample what the PNG output holds.
  for (const char* name : {"png_g16.png", "png_rgba.png", "jpg_gray.jpg"}) {
    SCOPED_TRACE(name);
    ASSERT_EQ(korvale({"-i", name, "-o", "stem", "-resize", "70%"}).status, 0);
    ASSERT_EQ(korvale({"-i", name, "-out", "same.png", "-resize", "70%"}).status, 0);
    const std::string bmp = apptest::read_file(*dir_ / "stem.bmp");
    const apptest::Picture got = apptest::decode_bmp24(bmp);
    EXPECT_EQ(apptest::get_le(bmp, 10, 4), 54u);
    EXPECT_EQ(apptest::get_le(bmp, 28, 2), 24u);
    EXPECT_EQ(bmp.size(), 54 + apptest::row_bytes(got.w) * got.h);
    const Picture want = decoded("same.png");
    ASSERT_EQ(got.w, want.w);
    int off = 0;
    for (int y = 0; y < want.h; ++y) {
      for (int x = 0; x < want.w; ++x) {
        for (int c = 0; c < 3; ++c) {
          const int k = want.colors == 1 ? 0 : c;
          const int v = want.bits == 16 ? (want.wide[k].at(x, y) * 255 + 32767) / 65535
                                        : want.planes[k].at(x, y);
          off += got.at(x, y, c) != v;
        }
      }
    }
    EXPECT_EQ(off, 0);
  }
}

TEST_F(ProgramFormats, CutForeignAndHugeFilesAreRefusedWithNothingWritten) {
  KORVALE_NEED_ALL_FORMATS();
  const std::string dir = apptest::scratch_dir("refuse");
  std::vector<std::pair<std::string, std::string>> refused;  // file, start of its line
  for (const char* name :
       {"png_rgba.png", "im_interlaced.png", "jpg_base.jpg", "jpg_prog.jpg", "tif_lzw.tif",
        "im_tiles.tif", "webp_lossy.webp", "webp_lossless.webp"}) {
    std::vector<unsigned char> bytes = file_bytes(*dir_ / name);
    bytes.resize(bytes.size() * 6 / 10);
    write_bytes(dir + "/cut_" + name, bytes);
    refused.emplace_back(std::string("cut_") + name, std::string("cut_") + name + ": ");
  }
  apptest::write_file(dir + "/notes.txt", "just some text, no picture\n");
  refused.emplace_back("notes.txt",
                       "notes.txt: not a picture korvale reads (no BMP, PNG, JPEG, TIFF or "
                       "WebP signature)\n");
  // 30000 x 30000 one-bit zeros: about 100 KB of deflate.
  ASSERT_TRUE(python(R"PY(
import sys, zlib, struct
def chunk(t, b): return struct.pack('>I', len(b)) + t + b + struct.pack('>I', zlib.crc32(t + b))
z = zlib.compressobj(9); row = bytes(3751); idat = b''.join(z.compress(row) for _ in range(30000)) + z.flush()
open(sys.argv[1] + '/bomb.png', 'wb').write(b'\x89PNG\r\n\x1a\n' + chunk(b'IHDR', struct.pack('>IIBBBBB', 30000, 30000, 1, 0, 0, 0, 0)) + chunk(b'IDAT', idat) + chunk(b'IEND', b''))
)PY",
                     dir));
  refused.emplace_back("bomb.png",
                       "bomb.png: 30000x30000 is 900000000 pixels, more than the limit of "
                       "268435456 (-maxpixels N raises it)\n");
  for (const auto& [name, line] : refused) {
    // Held to 300 MB of address space and 5 s of processor time, which a
    // decode of the bomb's pixels (900 MB) could not stay within.
    const apptest::RunResult r = apptest::finish(apptest::start(
        KORVALE_BIN, {"-quiet", "-i", name, "-out", "out.png", "-resize", "50%"}, dir, {}, [] {
          const rlimit cpu = {5, 5};
          setrlimit(RLIMIT_CPU, &cpu);
#if !defined(__SANITIZE_ADDRESS__)
          const rlimit as = {300 << 20, 300 << 20};
          setrlimit(RLIMIT_AS, &as);
#endif
        }));
    EXPECT_EQ(r.status, 1) << name;
    EXPECT_EQ(r.out.rfind(line, 0), 0u) << r.out;
    EXPECT_EQ(std::count(r.out.begin(), r.out.end(), '\n'), 1) << r.out;
  }
  EXPECT_EQ(apptest::names_in(dir).size(), refused.size() + 1);  // inputs and script.py

  // An encoded output goes through the same safe writer: a write cut by a
  // file-size limit leaves the older file as it was and no temporary file.
  std::filesystem::copy_file(*dir_ / "png_rgba.png", dir + "/in.png");
  apptest::write_file(dir + "/old.tif", "an older picture");
  const apptest::RunResult cut = apptest::finish(apptest::start(
      KORVALE_BIN, {"-quiet", "-i", "in.png", "-out", "old.tif", "-resize", "90%"}, dir, {}, [] {
        const rlimit size = {100, 100};
        setrlimit(RLIMIT_FSIZE, &size);
      }));
  EXPECT_EQ(cut.status, 1);
  EXPECT_EQ(cut.out, "old.tif: write failed (File too large)\n");
  EXPECT_EQ(apptest::read_file(dir + "/old.tif"), "an older picture");
  EXPECT_EQ(apptest::names_in(dir).size(), refused.size() + 3);
  std::filesystem::remove_all(dir);
}

TEST_F(ProgramFormats, BatchOfThreeFormatsEqualsThreeSingleRuns) {
  KORVALE_NEED_ALL_FORMATS();
  const std::vector<std::string> inputs = {"png_g16.png", "jpg_prog.jpg", "tif_deflate.tif"};
  std::filesystem::create_directory(*dir_ / "batch");
  std::vector<std::string> args = {"-resize", "60%", "-out", "batch/%s.tif", "--"};
  args.insert(args.end(), inputs.begin(), inputs.end());
  ASSERT_EQ(korvale(args).status, 0);
  for (const std::string& name : inputs) {
    ASSERT_EQ(korvale({"-i", name, "-resize", "60%", "-out", "one.tif"}).status, 0);
    const std::string stem = name.substr(0, name.rfind('.'));
    EXPECT_TRUE(file_bytes(*dir_ / ("batch/" + stem + ".tif")) == file_bytes(*dir_ / "one.tif"))
        << name;
  }
}

}  // namespace
}  // namespace korvale
