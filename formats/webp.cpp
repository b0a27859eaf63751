// WebP through libwebp: decoding a still file image into planes (lossy or
// lossless, with or without alpha; ICC profile, EXIF and XMP kept through the
// demuxer) and encoding planes as lossy or lossless WebP, the metadata added
// with the muxer. Animated files are refused.
#include <webp/decode.h>
#include <webp/demux.h>
#include <webp/encode.h>
#include <webp/mux.h>

#include "common/named_alloc.h"
#include "formats/codec.h"

namespace korvale::formats_detail {

namespace {

const char* status_text(VP8StatusCode s) {
  switch (s) {
    case VP8_STATUS_OUT_OF_MEMORY:
      return "out of memory";
    case VP8_STATUS_INVALID_PARAM:
      return "invalid parameter";
    case VP8_STATUS_BITSTREAM_ERROR:
      return "corrupt data";
    case VP8_STATUS_UNSUPPORTED_FEATURE:
      return "unsupported feature";
    case VP8_STATUS_SUSPENDED:
      return "decoding suspended";
    case VP8_STATUS_USER_ABORT:
      return "decoding aborted";
    case VP8_STATUS_NOT_ENOUGH_DATA:
      return "the file ends early";
    default:
      return "decoding failed";
  }
}

void take_chunk(const WebPDemuxer* demux, const char* fourcc, std::vector<unsigned char>* out) {
  WebPChunkIterator it;
  if (WebPDemuxGetChunk(demux, fourcc, 1, &it)) {
    out->assign(it.chunk.bytes, it.chunk.bytes + it.chunk.size);
    WebPDemuxReleaseChunkIterator(&it);
  }
}

int write_to_sink(const uint8_t* data, size_t n, const WebPPicture* pic) {
  sink_append(static_cast<ByteSink*>(pic->custom_ptr), data, n);
  return 1;
}

}  // namespace

std::string decode_webp(const unsigned char* data, std::size_t len, const ReadSettings& s,
                        Picture* out) {
  WebPBitstreamFeatures f;
  const VP8StatusCode status = WebPGetFeatures(data, len, &f);
  if (status != VP8_STATUS_OK) return std::string("WebP: ") + status_text(status);
  if (f.has_animation) return "WebP: animated files are not supported";
  if (std::string e = check_size(f.width, f.height, s.max_pixels); !e.empty()) return e;

  Picture p;
  const int channels = f.has_alpha ? 4 : 3;
  const std::size_t stride = static_cast<std::size_t>(f.width) * channels;
  const std::size_t size = stride * static_cast<std::size_t>(f.height);
  Buffer<unsigned char> pixels = named_large_buffer<unsigned char>(size, "WEBP");
  const uint8_t* done =
      f.has_alpha ? WebPDecodeRGBAInto(data, len, pixels.get(), size, static_cast<int>(stride))
                  : WebPDecodeRGBInto(data, len, pixels.get(), size, static_cast<int>(stride));
  if (done == nullptr) return "WebP: corrupt or truncated data";
  allocate_planes(&p, f.width, f.height, 8, 3, f.has_alpha);
  store_rows(&p, 0, f.height, pixels.get(), stride, true);

  WebPData whole = {data, len};
  if (WebPDemuxer* demux = WebPDemux(&whole)) {
    take_chunk(demux, "ICCP", &p.icc);
    take_chunk(demux, "EXIF", &p.exif);
    take_chunk(demux, "XMP ", &p.xmp);
    WebPDemuxDelete(demux);
  }
  strip_exif_prefix(&p.exif);
  *out = std::move(p);
  return "";
}

std::string encode_webp(const Picture& p, const WriteSettings& s,
                        std::vector<unsigned char>* bytes) {
  if (p.w > WEBP_MAX_DIMENSION || p.h > WEBP_MAX_DIMENSION) {
    return format("WebP: a %d x %d picture is larger than WebP holds (%d x %d)", p.w, p.h,
                  WEBP_MAX_DIMENSION, WEBP_MAX_DIMENSION);
  }
  WebPConfig config;
  if (!WebPConfigInit(&config)) return "WebP: library version mismatch";
  if (s.webp_lossless) {
    WebPConfigLosslessPreset(&config, 6);
    config.exact = 1;  // keep the colour under transparent pixels
  } else {
    config.quality = static_cast<float>(s.quality);
  }

  const int channels = p.alpha ? 4 : 3;
  const std::size_t stride = static_cast<std::size_t>(p.w) * channels;
  Buffer<unsigned char> pixels =
      named_large_buffer<unsigned char>(stride * static_cast<std::size_t>(p.h), "WEBP");
  load_rows8(p, 0, p.h, channels, pixels.get(), stride);

  WebPPicture pic;
  if (!WebPPictureInit(&pic)) return "WebP: library version mismatch";
  pic.width = p.w;
  pic.height = p.h;
  pic.use_argb = s.webp_lossless ? 1 : 0;
  ByteSink sink;
  pic.writer = write_to_sink;
  pic.custom_ptr = &sink;
  const int imported = p.alpha ? WebPPictureImportRGBA(&pic, pixels.get(), static_cast<int>(stride))
                               : WebPPictureImportRGB(&pic, pixels.get(), static_cast<int>(stride));
  const int encoded = imported && WebPEncode(&config, &pic);
  const int code = pic.error_code;
  WebPPictureFree(&pic);
  if (!encoded) {
    sink_free(&sink);
    return format("WebP: encoding failed (error %d)", code);
  }

  const bool metadata = !s.strip && (!p.icc.empty() || !p.exif.empty() || !p.xmp.empty());
  if (!metadata) {
    sink_finish(&sink, bytes);
    return "";
  }
  // The muxer rebuilds the file as VP8X with the metadata chunks.
  WebPData image = {sink.data, sink.size};
  WebPMux* mux = WebPMuxCreate(&image, 1);
  sink_free(&sink);
  if (mux == nullptr) return "WebP: cannot add the metadata";
  const std::vector<unsigned char>* chunks[3] = {&p.icc, &p.exif, &p.xmp};
  const char* names[3] = {"ICCP", "EXIF", "XMP "};
  bool ok = true;
  for (int i = 0; i < 3; ++i) {
    if (chunks[i]->empty()) continue;
    WebPData chunk = {chunks[i]->data(), chunks[i]->size()};
    ok = ok && WebPMuxSetChunk(mux, names[i], &chunk, 1) == WEBP_MUX_OK;
  }
  WebPData assembled;
  WebPDataInit(&assembled);
  ok = ok && WebPMuxAssemble(mux, &assembled) == WEBP_MUX_OK;
  WebPMuxDelete(mux);
  if (ok) bytes->assign(assembled.bytes, assembled.bytes + assembled.size);
  WebPDataClear(&assembled);
  return ok ? "" : "WebP: cannot add the metadata";
}

}  // namespace korvale::formats_detail
