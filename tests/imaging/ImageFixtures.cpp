#include "tests/imaging/ImageFixtures.h"

#include <jpeglib.h>
#include <png.h>
#include <webp/encode.h>
#include <webp/mux.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <fstream>
#include <stdexcept>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/frame.h>
#include <libswscale/swscale.h>
}

namespace tovrelle::test::fixtures {
namespace {

// Each value as `bytes` bytes, little- or big-endian.
void putLe(std::vector<uint8_t>& out, std::initializer_list<uint32_t> values, int bytes) {
  for (uint32_t v : values)
    for (int i = 0; i < bytes; ++i) out.push_back(static_cast<uint8_t>(v >> (8 * i)));
}
void putBe(std::vector<uint8_t>& out, std::initializer_list<uint32_t> values, int bytes) {
  for (uint32_t v : values)
    for (int i = bytes - 1; i >= 0; --i) out.push_back(static_cast<uint8_t>(v >> (8 * i)));
}
uint32_t u32(int v) { return static_cast<uint32_t>(v); }

// --- GIF -------------------------------------------------------------------

int paletteBits(size_t entries) {
  int bits = 1;
  while ((size_t{1} << bits) < entries) ++bits;
  return bits;
}

void putPalette(std::vector<uint8_t>& out, const std::vector<Rgb>& palette, int bits) {
  for (size_t i = 0; i < (size_t{1} << bits); ++i) putBe(out, {i < palette.size() ? palette[i] : 0}, 3);
}

// Variable-width LZW as GIF uses it: codes grow from minCodeSize + 1 bits to
// 12 bits, with a clear code once the table is full. The table is a flat
// (prefix code, next index) array so that long benchmark animations encode
// in seconds.
std::vector<uint8_t> lzwEncode(const std::vector<uint8_t>& pixels, int minCodeSize) {
  const unsigned clear = 1u << minCodeSize;
  const unsigned eoi = clear + 1;
  std::vector<uint8_t> bytes;
  uint64_t acc = 0;
  int used = 0;
  int width = minCodeSize + 1;
  auto put = [&](unsigned code) {
    acc |= static_cast<uint64_t>(code) << used;
    for (used += width; used >= 8; used -= 8, acc >>= 8) bytes.push_back(static_cast<uint8_t>(acc));
  };
  unsigned next = eoi + 1;
  static thread_local std::vector<uint16_t> table;  // 0: no entry
  table.assign(size_t{4096} * 256, 0);
  auto emit = [&](unsigned code) {
    put(code);
    if (next >= (1u << width) && width < 12) ++width;
  };
  put(clear);
  if (!pixels.empty()) {
    unsigned prefix = pixels[0];
    for (size_t i = 1; i < pixels.size(); ++i) {
      uint16_t& entry = table[size_t{prefix} * 256 + pixels[i]];
      if (entry != 0) {
        prefix = entry;
        continue;
      }
      emit(prefix);
      if (next < 4095) {
        entry = static_cast<uint16_t>(next++);
      } else {
        put(clear);
        std::fill(table.begin(), table.end(), 0);
        width = minCodeSize + 1;
        next = eoi + 1;
      }
      prefix = pixels[i];
    }
    emit(prefix);
  }
  put(eoi);
  if (used > 0) bytes.push_back(static_cast<uint8_t>(acc));
  return bytes;
}

void putSubBlocks(std::vector<uint8_t>& out, const std::vector<uint8_t>& data) {
  for (size_t i = 0; i < data.size(); i += 255) {
    size_t n = std::min<size_t>(255, data.size() - i);
    out.push_back(static_cast<uint8_t>(n));
    out.insert(out.end(), data.begin() + static_cast<long>(i), data.begin() + static_cast<long>(i + n));
  }
  out.push_back(0);
}

// --- PNG -------------------------------------------------------------------

uint32_t crc32(const std::vector<uint8_t>& data) {
  static const std::array<uint32_t, 256> table = [] {
    std::array<uint32_t, 256> t{};
    for (uint32_t n = 0; n < 256; ++n) {
      uint32_t c = n;
      for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xedb88320u ^ (c >> 1) : c >> 1;
      t[n] = c;
    }
    return t;
  }();
  uint32_t crc = ~0u;
  for (uint8_t v : data) crc = table[(crc ^ v) & 0xff] ^ (crc >> 8);
  return ~crc;
}

void putChunk(std::vector<uint8_t>& out, const char* type, const std::vector<uint8_t>& data) {
  putBe(out, {static_cast<uint32_t>(data.size())}, 4);
  std::vector<uint8_t> body(type, type + 4);
  body.insert(body.end(), data.begin(), data.end());
  out.insert(out.end(), body.begin(), body.end());
  putBe(out, {crc32(body)}, 4);
}

// The rows of a frame as a zlib stream of stored (uncompressed) deflate blocks.
std::vector<uint8_t> pngImageData(int width, int height, const std::vector<uint8_t>& rgba) {
  if (rgba.size() != static_cast<size_t>(width) * static_cast<size_t>(height) * 4)
    throw std::invalid_argument("rgba size does not match the frame");
  std::vector<uint8_t> raw;
  for (int y = 0; y < height; ++y) {
    raw.push_back(0);
    auto row = rgba.begin() + static_cast<long>(y) * width * 4;
    raw.insert(raw.end(), row, row + width * 4);
  }
  std::vector<uint8_t> out{0x78, 0x01};
  size_t pos = 0;
  do {
    const uint32_t n = static_cast<uint32_t>(std::min<size_t>(65535, raw.size() - pos));
    out.push_back(pos + n == raw.size() ? 1 : 0);
    putLe(out, {n, ~n & 0xffff}, 2);
    out.insert(out.end(), raw.begin() + static_cast<long>(pos), raw.begin() + static_cast<long>(pos + n));
    pos += n;
  } while (pos < raw.size());
  uint32_t a = 1, b = 0;
  for (uint8_t v : raw) {
    a = (a + v) % 65521;
    b = (b + a) % 65521;
  }
  putBe(out, {(b << 16) | a}, 4);
  return out;
}

// The signature and an 8-bit RGBA header.
std::vector<uint8_t> pngStart(int width, int height) {
  std::vector<uint8_t> out{0x89, 'P', 'N', 'G', 0x0d, 0x0a, 0x1a, 0x0a}, ihdr;
  putBe(ihdr, {u32(width), u32(height)}, 4);
  ihdr.insert(ihdr.end(), {8, 6, 0, 0, 0});
  putChunk(out, "IHDR", ihdr);
  return out;
}

}  // namespace

std::vector<uint8_t> encodeGif(const Gif& gif) {
  std::vector<uint8_t> out{'G', 'I', 'F', '8', '9', 'a'};
  putLe(out, {u32(gif.width), u32(gif.height)}, 2);
  int globalBits = gif.globalPalette.empty() ? 0 : paletteBits(gif.globalPalette.size());
  out.push_back(static_cast<uint8_t>(globalBits ? 0xf0 | (globalBits - 1) : 0x70));  // colour resolution 8 bits
  out.insert(out.end(), {static_cast<uint8_t>(gif.backgroundIndex), 0});
  if (globalBits) putPalette(out, gif.globalPalette, globalBits);
  if (gif.loop) {
    out.insert(out.end(), {0x21, 0xff, 0x0b, 'N', 'E', 'T', 'S', 'C', 'A', 'P', 'E', '2', '.', '0'});
    out.insert(out.end(), {0x03, 0x01, 0x00, 0x00, 0x00});
  }
  for (const GifFrame& f : gif.frames) {
    if (f.indices.size() != static_cast<size_t>(f.width) * static_cast<size_t>(f.height))
      throw std::invalid_argument("gif frame size does not match its indices");
    if (f.delayCs || f.transparentIndex >= 0 || f.disposal != 0) {
      const int flags = ((f.disposal & 7) << 2) | (f.transparentIndex >= 0 ? 1 : 0);
      out.insert(out.end(), {0x21, 0xf9, 0x04, static_cast<uint8_t>(flags)});
      putLe(out, {u32(f.delayCs.value_or(0))}, 2);
      out.insert(out.end(), {static_cast<uint8_t>(std::max(f.transparentIndex, 0)), 0});
    }
    out.push_back(0x2c);
    putLe(out, {u32(f.left), u32(f.top), u32(f.width), u32(f.height)}, 2);
    int bits = globalBits;
    if (!f.localPalette.empty()) {
      bits = paletteBits(f.localPalette.size());
      out.push_back(static_cast<uint8_t>(0x80 | (bits - 1)));
      putPalette(out, f.localPalette, bits);
    } else {
      out.push_back(0);
    }
    const int minCodeSize = std::max(2, bits);
    out.push_back(static_cast<uint8_t>(minCodeSize));
    putSubBlocks(out, lzwEncode(f.indices, minCodeSize));
  }
  out.push_back(0x3b);
  return out;
}

GifFrame solidGifFrame(int width, int height, uint8_t index, std::optional<int> delayCs) {
  GifFrame f;
  f.width = width;
  f.height = height;
  f.indices.assign(static_cast<size_t>(width) * static_cast<size_t>(height), index);
  f.delayCs = delayCs;
  return f;
}

std::vector<uint8_t> encodeApng(const Apng& apng) {
  std::vector<uint8_t> out = pngStart(apng.width, apng.height), actl;
  putBe(actl, {static_cast<uint32_t>(apng.frames.size()), apng.plays}, 4);
  putChunk(out, "acTL", actl);
  uint32_t sequence = 0;
  auto fctl = [&](const PngFrame& f) {
    std::vector<uint8_t> d;
    putBe(d, {sequence++, u32(f.width), u32(f.height), u32(f.x), u32(f.y)}, 4);
    putBe(d, {f.delayNum, f.delayDen}, 2);
    d.insert(d.end(), {f.dispose, f.blend});
    putChunk(out, "fcTL", d);
  };
  size_t first = 0;
  if (apng.defaultIsFirstFrame) {
    if (apng.frames.empty()) throw std::invalid_argument("apng without frames");
    fctl(apng.frames[0]);
    putChunk(out, "IDAT", pngImageData(apng.frames[0].width, apng.frames[0].height, apng.frames[0].rgba));
    first = 1;
  } else {
    putChunk(out, "IDAT", pngImageData(apng.width, apng.height, apng.hiddenDefault));
  }
  for (size_t i = first; i < apng.frames.size(); ++i) {
    const PngFrame& f = apng.frames[i];
    fctl(f);
    std::vector<uint8_t> d;
    putBe(d, {sequence++}, 4);
    const std::vector<uint8_t> z = pngImageData(f.width, f.height, f.rgba);
    d.insert(d.end(), z.begin(), z.end());
    putChunk(out, "fdAT", d);
  }
  putChunk(out, "IEND", {});
  return out;
}

std::vector<uint8_t> encodePng(int width, int height, const std::vector<uint8_t>& rgba) {
  std::vector<uint8_t> out = pngStart(width, height);
  putChunk(out, "IDAT", pngImageData(width, height, rgba));
  putChunk(out, "IEND", {});
  return out;
}

std::vector<uint8_t> encodeBmp(int width, int height, const std::vector<uint8_t>& rgb) {
  const uint32_t rowBytes = (u32(width) * 3 + 3) & ~3u;
  const uint32_t imageBytes = rowBytes * u32(height);
  std::vector<uint8_t> out{'B', 'M'};
  putLe(out, {54 + imageBytes, 0, 54, 40, u32(width), u32(height)}, 4);
  putLe(out, {1, 24}, 2);
  putLe(out, {0, imageBytes, 2835, 2835, 0, 0}, 4);
  for (int y = height - 1; y >= 0; --y) {
    for (int x = 0; x < width; ++x) {
      const uint8_t* p = &rgb[(static_cast<size_t>(y) * static_cast<size_t>(width) + static_cast<size_t>(x)) * 3];
      out.insert(out.end(), {p[2], p[1], p[0]});
    }
    out.resize(out.size() + rowBytes - u32(width) * 3, 0);
  }
  return out;
}

std::vector<uint8_t> solidRgba(int width, int height, uint8_t r, uint8_t g, uint8_t b, uint8_t a) {
  std::vector<uint8_t> px;
  px.reserve(static_cast<size_t>(width) * static_cast<size_t>(height) * 4);
  for (int i = 0; i < width * height; ++i) px.insert(px.end(), {r, g, b, a});
  return px;
}

std::vector<uint8_t> encodeWithFfmpeg(const char* name, int width, int height, const std::vector<uint8_t>& rgb) {
  const AVCodec* codec = avcodec_find_encoder_by_name(name);
  if (!codec || !codec->pix_fmts) return {};
  AVCodecContext* ctx = avcodec_alloc_context3(codec);
  AVFrame* frame = av_frame_alloc();
  AVPacket* packet = av_packet_alloc();
  std::vector<uint8_t> out;
  frame->width = ctx->width = width;
  frame->height = ctx->height = height;
  frame->format = ctx->pix_fmt = codec->pix_fmts[0];
  frame->color_range = ctx->color_range = AVCOL_RANGE_JPEG;
  ctx->time_base = {1, 25};
  ctx->thread_count = 1;
  if (avcodec_open2(ctx, codec, nullptr) >= 0 && av_frame_get_buffer(frame, 0) >= 0) {
    SwsContext* sws = sws_getContext(width, height, AV_PIX_FMT_RGB24, width, height, ctx->pix_fmt,
                                     SWS_BICUBIC | SWS_ACCURATE_RND, nullptr, nullptr, nullptr);
    const uint8_t* src[4] = {rgb.data(), nullptr, nullptr, nullptr};
    const int srcStride[4] = {width * 3, 0, 0, 0};
    if (sws) sws_scale(sws, src, srcStride, 0, height, frame->data, frame->linesize);
    sws_freeContext(sws);
    frame->pts = 0;
    if (avcodec_send_frame(ctx, frame) >= 0 && avcodec_send_frame(ctx, nullptr) >= 0) {
      while (avcodec_receive_packet(ctx, packet) >= 0) {
        out.insert(out.end(), packet->data, packet->data + packet->size);
        av_packet_unref(packet);
      }
    }
  }
  av_packet_free(&packet);
  av_frame_free(&frame);
  avcodec_free_context(&ctx);
  return out;
}

std::vector<uint8_t> quadrantsRgb(int width, int height) {
  std::vector<uint8_t> px;
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; ++x) {
      const bool right = x >= width / 2, bottom = y >= height / 2;
      putBe(px, {!bottom ? (right ? 0x00ff00u : 0xff0000u) : (right ? 0xffffffu : 0x0000ffu)}, 3);
    }
  }
  return px;
}

std::vector<uint8_t> encodeWebp(int width, int height, const std::vector<uint8_t>& rgba) {
  uint8_t* out = nullptr;
  const size_t size = WebPEncodeLosslessRGBA(rgba.data(), width, height, width * 4, &out);
  std::vector<uint8_t> bytes(out, out + size);
  WebPFree(out);
  if (size == 0) throw std::runtime_error("cannot encode a WebP frame");
  return bytes;
}

std::vector<uint8_t> encodeAnimatedWebp(const AnimatedWebp& webp) {
  WebPMux* mux = WebPMuxNew();
  if (!mux) throw std::runtime_error("no WebP muxer");
  for (const WebpFrame& f : webp.frames) {
    const std::vector<uint8_t> still = encodeWebp(f.width, f.height, f.rgba);
    WebPMuxFrameInfo info{};
    info.bitstream = {still.data(), still.size()};
    info.x_offset = f.x;
    info.y_offset = f.y;
    info.duration = f.durationMs;
    info.id = WEBP_CHUNK_ANMF;
    info.dispose_method = f.disposeToBackground ? WEBP_MUX_DISPOSE_BACKGROUND : WEBP_MUX_DISPOSE_NONE;
    info.blend_method = f.blend ? WEBP_MUX_BLEND : WEBP_MUX_NO_BLEND;
    if (WebPMuxPushFrame(mux, &info, 1) != WEBP_MUX_OK) throw std::runtime_error("cannot add a WebP frame");
  }
  WebPMuxAnimParams params{0x00000000, 0};  // transparent background, loop forever
  WebPMuxSetAnimationParams(mux, &params);
  WebPMuxSetCanvasSize(mux, webp.width, webp.height);
  WebPData data;
  WebPDataInit(&data);
  const WebPMuxError assembled = WebPMuxAssemble(mux, &data);
  WebPMuxDelete(mux);
  if (assembled != WEBP_MUX_OK) throw std::runtime_error("cannot assemble the animated WebP");
  std::vector<uint8_t> bytes(data.bytes, data.bytes + data.size);
  WebPDataClear(&data);
  return bytes;
}

void writePng(const std::filesystem::path& path, int width, int height,
              const std::function<void(int y, uint8_t* rgba)>& row) {
  FILE* file = std::fopen(path.c_str(), "wb");
  if (!file) throw std::runtime_error("cannot write " + path.string());
  png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
  png_infop info = png_create_info_struct(png);
  if (setjmp(png_jmpbuf(png))) {
    png_destroy_write_struct(&png, &info);
    std::fclose(file);
    throw std::runtime_error("cannot encode " + path.string());
  }
  png_init_io(png, file);
  png_set_compression_level(png, 1);
  png_set_IHDR(png, info, static_cast<png_uint_32>(width), static_cast<png_uint_32>(height), 8, PNG_COLOR_TYPE_RGBA,
               PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
  png_write_info(png, info);
  std::vector<uint8_t> line(static_cast<size_t>(width) * 4);
  for (int y = 0; y < height; ++y) {
    row(y, line.data());
    png_write_row(png, line.data());
  }
  png_write_end(png, info);
  png_destroy_write_struct(&png, &info);
  std::fclose(file);
}

void writeJpeg(const std::filesystem::path& path, int width, int height,
               const std::function<void(int y, uint8_t* rgb)>& row, int orientation, int quality) {
  FILE* file = std::fopen(path.c_str(), "wb");
  if (!file) return;
  jpeg_compress_struct cinfo{};
  jpeg_error_mgr errors{};
  cinfo.err = jpeg_std_error(&errors);
  jpeg_create_compress(&cinfo);
  jpeg_stdio_dest(&cinfo, file);
  cinfo.image_width = static_cast<JDIMENSION>(width);
  cinfo.image_height = static_cast<JDIMENSION>(height);
  cinfo.input_components = 3;
  cinfo.in_color_space = JCS_RGB;
  jpeg_set_defaults(&cinfo);
  jpeg_set_quality(&cinfo, quality, TRUE);
  jpeg_start_compress(&cinfo, TRUE);
  if (orientation != 0) {
    // "Exif\0\0", a big-endian TIFF header and one IFD entry: Orientation, SHORT, 1.
    const uint8_t exif[] = {'E', 'x', 'i', 'f',  0,    0, 'M', 'M', 0, 42, 0, 0, 0,
                            8,   0,   1,   0x01, 0x12, 0, 3,   0,   0, 0,  1, 0, static_cast<uint8_t>(orientation),
                            0,   0,   0,   0,    0,    0};
    jpeg_write_marker(&cinfo, JPEG_APP0 + 1, exif, sizeof exif);
  }
  std::vector<uint8_t> line(static_cast<size_t>(width) * 3);
  for (int y = 0; y < height; ++y) {
    row(y, line.data());
    JSAMPROW rows[1] = {line.data()};
    jpeg_write_scanlines(&cinfo, rows, 1);
  }
  jpeg_finish_compress(&cinfo);
  jpeg_destroy_compress(&cinfo);
  std::fclose(file);
}

void writeFile(const std::filesystem::path& path, const std::vector<uint8_t>& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  if (!out) throw std::runtime_error("cannot write " + path.string());
}

std::vector<std::pair<std::string, std::vector<uint8_t>>> seedCorpus() {
  std::vector<std::pair<std::string, std::vector<uint8_t>>> seeds;
  {
    Gif g{8, 6, {0xff0000, 0x00ff00, 0x0000ff, 0xffffff}, 0, true, {}};
    g.frames.push_back(solidGifFrame(8, 6, 0, 10));
    GifFrame f = solidGifFrame(4, 3, 1, 20);
    f.left = 2;
    f.top = 1;
    f.disposal = 2;
    f.transparentIndex = 3;
    f.indices[0] = 3;
    g.frames.push_back(f);
    GifFrame h = solidGifFrame(3, 2, 2, 0);
    h.disposal = 3;
    h.localPalette = {0x101010, 0x202020, 0x303030};
    g.frames.push_back(h);
    seeds.emplace_back("anim.gif", encodeGif(g));
  }
  {
    Apng a;
    a.width = 6;
    a.height = 4;
    a.frames.push_back({0, 0, 6, 4, solidRgba(6, 4, 255, 0, 0, 255), 1, 10, 1, 0});
    a.frames.push_back({1, 1, 3, 2, solidRgba(3, 2, 0, 0, 255, 128), 1, 2, 2, 1});
    a.frames.push_back({2, 0, 2, 2, solidRgba(2, 2, 0, 255, 0, 255), 0, 0, 0, 0});
    seeds.emplace_back("anim.png", encodeApng(a));
  }
  seeds.emplace_back("still.png", encodePng(5, 3, solidRgba(5, 3, 10, 200, 30, 100)));
  {
    AnimatedWebp w{6, 4, {}};
    w.frames.push_back({0, 0, 6, 4, solidRgba(6, 4, 255, 0, 0, 255), 100, false, false});
    w.frames.push_back({2, 2, 2, 2, solidRgba(2, 2, 0, 0, 255, 128), 40, true, true});
    w.frames.push_back({0, 0, 2, 2, solidRgba(2, 2, 0, 255, 0, 0), 0, false, false});
    seeds.emplace_back("anim.webp", encodeAnimatedWebp(w));
  }
  seeds.emplace_back("still.bmp", encodeBmp(3, 2, std::vector<uint8_t>(18, 0x7f)));
  for (auto [encoder, name] : {std::pair{"mjpeg", "still.jpg"}, {"tiff", "still.tif"}, {"libwebp", "still.webp"}}) {
    auto bytes = encodeWithFfmpeg(encoder, 16, 8, quadrantsRgb(16, 8));
    if (!bytes.empty()) seeds.emplace_back(name, std::move(bytes));
  }
  return seeds;
}

}  // namespace tovrelle::test::fixtures
