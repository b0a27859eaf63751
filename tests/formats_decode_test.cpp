// Reading every kind of file people keep, against ImageMagick's decode of the
// same file: PNG of every colour type and depth, JPEG baseline, progressive,
// gray, every chroma subsampling and CMYK, TIFF in strips and tiles with each
// compression, 8 and 16 bits, gray, palette, RGB and RGBA, WebP lossy and
// lossless with alpha. Then what must be refused (damaged, cut short, too
// large, unsupported) and the EXIF/TIFF orientation turned upright.
#include <map>

#include "common/named_alloc.h"
#include "formats_test_util.h"

namespace korvale {
namespace {

using namespace formats_test;

// Files written by Pillow (first) and ImageMagick, 37 x 29 so that no side is
// a multiple of a block or tile; the picture has smooth ramps and noise.
const char kPillowFiles[] = R"PY(
import random, sys
from PIL import Image
d = sys.argv[1]
random.seed(7)
W, H = 37, 29
def px(x, y, c):
    return max(0, min(255, (x * 7 + y * 3 + c * 60) % 256 + random.randint(-20, 20)))
rgb = Image.new('RGB', (W, H)); rgb.putdata([tuple(px(x, y, c) for c in range(3)) for y in range(H) for x in range(W)])
a = Image.new('L', (W, H)); a.putdata([0 if (x + y) % 5 == 0 else (x * 9) % 256 for y in range(H) for x in range(W)])
rgba = rgb.copy(); rgba.putalpha(a)
gray = rgb.convert('L')
la = gray.copy(); la.putalpha(a)
g16 = Image.new('I;16', (W, H)); g16.putdata([(x * 1777 + y * 911) % 65536 for y in range(H) for x in range(W)])
pal = rgb.quantize(16)
pal_t = pal.copy(); pal_t.info['transparency'] = 3
bw = gray.convert('1')
out = {
  'pil_gray.png': (gray, {}), 'pil_la.png': (la, {}), 'pil_rgb.png': (rgb, {}), 'pil_rgba.png': (rgba, {}),
  'pil_pal.png': (pal, {}), 'pil_pal4.png': (pal, {'bits': 4}), 'pil_pal_trns.png': (pal_t, {'transparency': 3}),
  'pil_bw.png': (bw, {}), 'pil_g16.png': (g16, {}),
  'pil_420.jpg': (rgb, {'quality': 85}), 'pil_422.jpg': (rgb, {'subsampling': 1}),
  'pil_444.jpg': (rgb, {'subsampling': 0, 'quality': 95}), 'pil_gray.jpg': (gray, {}),
  'pil_prog.jpg': (rgb, {'progressive': True}),
  'pil_rgb.tif': (rgb, {}), 'pil_lzw.tif': (rgb, {'compression': 'tiff_lzw'}),
  'pil_deflate.tif': (rgba, {'compression': 'tiff_adobe_deflate'}),
  'pil_packbits.tif': (gray, {'compression': 'packbits'}), 'pil_g16.tif': (g16, {}),
  'pil_pal.tif': (pal, {}), 'pil_bw.tif': (bw, {}),
  'pil_lossy.webp': (rgb, {'quality': 80}), 'pil_lossless.webp': (rgb, {'lossless': True}),
  'pil_alpha.webp': (rgba, {'quality': 80}), 'pil_alpha_lossless.webp': (rgba, {'lossless': True}),
}
for name, (im, kw) in out.items():
    im.save(d + '/' + name, **kw)
# Min-is-white: the same files with PhotometricInterpretation 0 (every
# reader then inverts the samples).
import struct
for src, dst in (('pil_packbits.tif', 'pil_miniswhite.tif'), ('pil_bw.tif', 'pil_bw_miniswhite.tif')):
    b = bytearray(open(d + '/' + src, 'rb').read())
    ifd = struct.unpack_from('<I', b, 4)[0]
    for i in range(struct.unpack_from('<H', b, ifd)[0]):
        e = ifd + 2 + 12 * i
        if struct.unpack_from('<H', b, e)[0] == 262: struct.pack_into('<H', b, e + 8, 0)
    open(d + '/' + dst, 'wb').write(b)
rgb.save(d + '/src.png')
rgba.save(d + '/src_rgba.png')
rgb.save(d + '/anim.webp', save_all=True, append_images=[rgb.transpose(Image.Transpose.FLIP_LEFT_RIGHT)])
)PY";

// Files ImageMagick makes from Pillow's src.png or src_rgba.png.
struct MagickFile {
  const char* name;
  const char* source;
  const char* args;
  const char* coder;  // output prefix forcing ImageMagick's choice, or ""
};
const MagickFile kMagickFiles[] = {
    {"im_interlaced.png", "src.png", "-interlace PNG", ""},
    {"im_rgb16.png", "src.png", "-evaluate multiply 1.003 -depth 16", "PNG48:"},
    {"im_rgba16.png", "src_rgba.png", "-depth 16", "PNG64:"},
    {"im_gray2.png", "src.png", "-colorspace gray -depth 2", ""},
    {"im_gray_interlaced16.png", "src.png", "-colorspace gray -depth 16 -interlace PNG", ""},
    {"im_cmyk.jpg", "src.png", "-colorspace CMYK", ""},
    {"im_tiled.tif", "src_rgba.png", "-define tiff:tile-geometry=16x16", ""},
    {"im_tiled16_lzw.tif", "src.png", "-depth 16 -compress LZW -define tiff:tile-geometry=16x16",
     ""},
    {"im_planar.tif", "src.png", "-interlace plane -compress zip", ""},
    {"im_rgb16.tif", "src_rgba.png", "-depth 16 -compress zip", ""},
    {"im_assoc.tif", "src_rgba.png", "-define tiff:alpha=associated", ""},
};

class FormatsDecode : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    dir_ = new ScratchDir;
    ASSERT_TRUE(python(kPillowFiles, dir_->path));
    for (const MagickFile& f : kMagickFiles) {
      const std::string cmd = std::string(kConvert) + " " + (*dir_ / f.source) + " " + f.args +
                              " " + f.coder + (*dir_ / f.name);
      ASSERT_TRUE(sh(cmd)) << cmd;
    }
  }
  static void TearDownTestSuite() {
    delete dir_;
    dir_ = nullptr;
  }
  static ScratchDir* dir_;
};
ScratchDir* FormatsDecode::dir_ = nullptr;

TEST_F(FormatsDecode, EveryKindMatchesImageMagick) {
  KORVALE_NEED_ALL_FORMATS();
  int files = 0;
  for (const auto& entry : std::filesystem::directory_iterator(dir_->path)) {
    const std::string name = entry.path().filename();
    if (name == "script.py" || name == "anim.webp") continue;
    ++files;
    ReadSettings s;
    s.apply_orientation = false;
    Picture p;
    ASSERT_EQ(read_picture(entry.path().c_str(), s, &p), "") << name;
    const std::vector<std::uint16_t> want = im_rgba16(entry.path());
    // Lossless files exactly; within one level: JPEG and lossy WebP (decoder
    // settings), TIFF with associated alpha (ImageMagick divides it out at
    // 16 bits, korvale at 8) and Pillow's palette TIFF (its colour map holds
    // c * 256: korvale takes the high byte c, as libtiff does, ImageMagick
    // the 16-bit value).
    const bool lossy =
        name.ends_with(".jpg") || name == "pil_lossy.webp" || name == "pil_alpha.webp";
    const bool within_one = lossy || name == "im_assoc.tif" || name == "pil_pal.tif";
    const double allowed = within_one ? 1.0 : 0.0;
    const double worst = worst_level_diff(rgba16(p), want);
    EXPECT_GE(worst, 0) << name << ": size " << p.w << "x" << p.h;
    EXPECT_LE(worst, allowed) << name;
    // What a file holds decides depth, gray and alpha.
    EXPECT_EQ(p.bits, name.find("16") != std::string::npos ? 16 : 8) << name;
    const bool gray =
        name.find("gray") != std::string::npos || name.find("g16") != std::string::npos ||
        name.find("bw") != std::string::npos || name.find("la.") != std::string::npos ||
        name.find("packbits") != std::string::npos || name.find("miniswhite") != std::string::npos;
    EXPECT_EQ(p.colors, gray ? 1 : 3) << name;
  }
  EXPECT_EQ(files, 40);
}

TEST_F(FormatsDecode, DamagedTruncatedAndUnsupportedFilesAreRefusedInOneLine) {
  KORVALE_NEED_ALL_FORMATS();
  auto refused = [](const std::vector<unsigned char>& b, const std::string& what) {
    Picture p;
    const std::string e = decode_picture(b.data(), b.size(), ReadSettings{}, &p);
    EXPECT_NE(e, "") << what;
    EXPECT_EQ(e.find('\n'), std::string::npos) << what << ": " << e;
  };
  for (const auto& entry : std::filesystem::directory_iterator(dir_->path)) {
    const std::string name = entry.path().filename();
    if (name == "script.py") continue;
    const std::vector<unsigned char> whole = file_bytes(entry.path());
    if (name == "anim.webp") {
      refused(whole, name);
      continue;
    }
    refused(std::vector<unsigned char>(whole.begin(), whole.begin() + whole.size() * 6 / 10),
            name + " cut at 60%");
    // A flipped byte anywhere must never crash; in a PNG's pixel data the
    // CRC catches it (ancillary chunks with a bad CRC are dropped, as by
    // every reader).
    const std::size_t idat = std::string(whole.begin(), whole.end()).find("IDAT");
    for (std::size_t at : {whole.size() / 3, whole.size() / 2, whole.size() * 4 / 5, idat + 6}) {
      if (at >= whole.size()) continue;
      std::vector<unsigned char> b = whole;
      b[at] ^= 0x5a;
      Picture p;
      const std::string e = decode_picture(b.data(), b.size(), ReadSettings{}, &p);
      if (name.ends_with(".png") && at == idat + 6) {
        EXPECT_NE(e, "") << name << " flipped at " << at;
      }
      if (e.empty()) {
        EXPECT_TRUE(!p.planes.empty() || !p.wide.empty());
      } else {
        EXPECT_EQ(e.find('\n'), std::string::npos) << e;
      }
    }
  }
  // Floating-point TIFF and an unknown signature.
  const std::string fp = *dir_ / "float.tif";
  ASSERT_TRUE(sh(std::string(kConvert) + " " + (*dir_ / "src.png") +
                 " -define quantum:format=floating-point -depth 32 " + fp));
  Picture p;
  EXPECT_EQ(read_picture(fp.c_str(), ReadSettings{}, &p),
            fp + ": TIFF: floating-point samples are not supported");
  const std::vector<unsigned char> text = {'h', 'e', 'l', 'l', 'o', ' ', 'w', 'o', 'r', 'l', 'd'};
  refused(text, "text");
  // A TIFF (found by the fuzzer) whose tags draw from libtiff a message
  // over two lines.
  refused(file_bytes(std::string(KORVALE_TEST_DATA_DIR) + "/tiff_message_on_two_lines.tif"),
          "a libtiff message on two lines");
  std::filesystem::remove(fp);
}

// A 30000 x 30000 black-and-white PNG: under a megabyte, refused from its
// header before libpng or any plane allocates.
TEST_F(FormatsDecode, BombIsRefusedAtOnceWithoutItsPixels) {
  KORVALE_NEED_ALL_FORMATS();
  ScratchDir d;
  const std::string bomb = d / "bomb.png";
  ASSERT_TRUE(python(
      R"PY(
import struct, zlib, sys
def chunk(t, b): return struct.pack('>I', len(b)) + t + b + struct.pack('>I', zlib.crc32(t + b))
z = zlib.compressobj(9); row = bytes(3751); idat = b''.join(z.compress(row) for _ in range(30000)) + z.flush()
open(')PY" +
          bomb +
          R"PY(', 'wb').write(b'\x89PNG\r\n\x1a\n' + chunk(b'IHDR', struct.pack('>IIBBBBB', 30000, 30000, 1, 0, 0, 0, 0)) + chunk(b'IDAT', idat) + chunk(b'IEND', b''))
)PY",
      d.path));
  ASSERT_LT(std::filesystem::file_size(bomb), 1u << 20);
  Picture p;
  EXPECT_EQ(read_picture(bomb.c_str(), ReadSettings{}, &p),
            bomb +
                ": 30000x30000 is 900000000 pixels, more than the limit of 268435456 "
                "(-maxpixels N raises it)");
  // Refused before any plane: with every named allocation made to fail (which
  // ends the process with "NAME no memory!!"), decoding still returns.
  const std::vector<unsigned char> bytes = file_bytes(bomb);
  EXPECT_EXIT(
      {
        fail_named_allocation(nullptr, 1);
        Picture q;
        const std::string e = decode_picture(bytes.data(), bytes.size(), ReadSettings{}, &q);
        std::exit(e.empty() ? 2 : 0);
      },
      ::testing::ExitedWithCode(0), "");
  // A side beyond 32768, whatever the pixel count.
  std::vector<unsigned char> wide = bytes;
  wide[16] = 0, wide[17] = 0, wide[18] = 0x9c, wide[19] = 0x40;  // 40000
  wide[20] = 0, wide[21] = 0, wide[22] = 0, wide[23] = 1;        // x 1
  EXPECT_EQ(decode_picture(wide.data(), wide.size(), ReadSettings{}, &p),
            "a 40000 x 1 picture: each side must be 1..32768");
  // A lowered limit, for every format.
  ReadSettings small;
  small.max_pixels = 37 * 29 - 1;
  for (const char* f : {"pil_rgb.png", "pil_420.jpg", "pil_rgb.tif", "pil_lossy.webp"}) {
    const std::string path = *dir_ / f;
    EXPECT_NE(read_picture(path.c_str(), small, &p).find("more than the limit of 1072"),
              std::string::npos)
        << f;
  }
}

// Each EXIF orientation (PNG eXIf, JPEG APP1, WebP EXIF, the TIFF tag) turns
// the picture upright as Pillow's exif_transpose and ImageMagick's
// -auto-orient do; the EXIF kept then says 1.
TEST_F(FormatsDecode, OrientationIsAppliedForAllEightValues) {
  KORVALE_NEED_ALL_FORMATS();
  ScratchDir d;
  ASSERT_TRUE(python(R"PY(
from PIL import Image, ImageOps
src = Image.open(')PY" + (*dir_ / "src_rgba.png") +
                         R"PY(')
for o in range(1, 9):
    e = Image.Exif(); e[0x0112] = o
    for ext, kw in (('png', {}), ('jpg', {'quality': 95}), ('webp', {'lossless': True})):
        im = src if ext != 'jpg' else src.convert('RGB')
        name = ')PY" + d.path +
                         R"PY(/o%d.%s' % (o, ext)
        im.save(name, exif=e.tobytes(), **kw)
        ImageOps.exif_transpose(Image.open(name)).convert('RGBA').save(name + '.upright.png')
)PY",
                     d.path));
  static const char* const kOrient[] = {
      "",         "top-left",  "top-right",    "bottom-right", "bottom-left",
      "left-top", "right-top", "right-bottom", "left-bottom"};
  for (int o = 1; o <= 8; ++o) {
    const std::string tif = d / ("o" + std::to_string(o) + ".tif");
    ASSERT_TRUE(sh(std::string(kConvert) + " " + (*dir_ / "src_rgba.png") + " -orient " +
                   kOrient[o] + " " + tif));
    for (const char* ext : {"png", "jpg", "webp", "tif"}) {
      const std::string path = d / ("o" + std::to_string(o) + "." + ext);
      Picture p;
      ASSERT_EQ(read_picture(path.c_str(), ReadSettings{}, &p), "") << path;
      EXPECT_EQ(o >= 5, p.w == 29) << path;
      // Pillow's upright copy for PNG and WebP (exact); ImageMagick's for
      // JPEG (its decode within a level) and TIFF.
      const bool pillow = std::string(ext) == "png" || std::string(ext) == "webp";
      const std::vector<std::uint16_t> want =
          pillow ? im_rgba16(path + ".upright.png") : im_rgba16(path, "-auto-orient");
      EXPECT_LE(worst_level_diff(rgba16(p), want), std::string(ext) == "jpg" ? 1.0 : 0.0) << path;
      if (std::string(ext) != "tif") {
        EXPECT_FALSE(p.exif.empty()) << path;
        Picture again;
        std::vector<unsigned char> png;
        ASSERT_EQ(encode_picture(ImageFormat::png, p, WriteSettings{}, &png), "");
        ASSERT_EQ(decode_picture(png.data(), png.size(), ReadSettings{}, &again), "");
        EXPECT_EQ(again.w, p.w) << "the kept EXIF must say 1: " << path;
      }
      // Kept as stored when asked.
      ReadSettings keep;
      keep.apply_orientation = false;
      ASSERT_EQ(read_picture(path.c_str(), keep, &p), "");
      EXPECT_EQ(p.w, 37);
    }
  }
}

}  // namespace
}  // namespace korvale
