#include "platform/capture/convert/JpegPlanes.h"

#include <csetjmp>
#include <cstdio>
#include <cstring>
#include <vector>

#include <jpeglib.h>

namespace tovrelle::capture {

// libjpeg reports errors by a jump; warnings (a truncated or damaged stream)
// jump too, so a damaged frame is dropped rather than shown half grey.
struct JpegPlanes::State {
  jpeg_decompress_struct cinfo{};
  jpeg_error_mgr errors{};
  jmp_buf jump;
  bool created = false;
  char message[JMSG_LENGTH_MAX] = {};
  std::vector<JSAMPROW> rows[3];

  static State* of(j_common_ptr c) { return reinterpret_cast<State*>(c->client_data); }
  static void fail(j_common_ptr c) {
    (*c->err->format_message)(c, of(c)->message);
    std::longjmp(of(c)->jump, 1);
  }
  static void warn(j_common_ptr c, int level) {
    if (level < 0) fail(c);
  }
  static void quiet(j_common_ptr) {}
};

JpegPlanes::JpegPlanes() : state_(std::make_unique<State>()) {
  State* s = state_.get();
  s->cinfo.err = jpeg_std_error(&s->errors);
  s->errors.error_exit = State::fail;
  s->errors.emit_message = State::warn;
  s->errors.output_message = State::quiet;
  s->cinfo.client_data = s;
  if (setjmp(s->jump)) return;  // out of memory: decode() says so
  jpeg_create_decompress(&s->cinfo);
  s->created = true;
}

JpegPlanes::~JpegPlanes() {
  if (state_->created) jpeg_destroy_decompress(&state_->cinfo);
}

std::string JpegPlanes::decode(const uint8_t* data, size_t size, const std::function<int(int, int)>& reduce,
                               const std::function<uint8_t*(const Layout&)>& memory) {
  State* const s = state_.get();
  if (!s->created) return "cannot set up the JPEG decoder";
  jpeg_decompress_struct* const c = &s->cinfo;
  // Only `s` and `c`, set before the jump point, are used after a jump.
  if (setjmp(s->jump)) {
    jpeg_abort_decompress(c);
    return std::string("corrupt MJPEG data (") + s->message + ")";
  }
  jpeg_mem_src(c, data, static_cast<unsigned long>(size));
  jpeg_read_header(c, TRUE);
  const int width = static_cast<int>(c->image_width), height = static_cast<int>(c->image_height);
  const int denom = reduce(width, height);
  if (denom == 0) {
    jpeg_abort_decompress(c);
    return "refused";
  }
  const int n = c->num_components;
  if (n != 1 && !(n == 3 && c->jpeg_color_space == JCS_YCbCr)) {
    jpeg_abort_decompress(c);
    return "unsupported JPEG colour space";
  }
  c->raw_data_out = TRUE;
  c->do_fancy_upsampling = FALSE;
  c->dct_method = JDCT_IFAST;
  c->scale_num = 1;
  c->scale_denom = static_cast<unsigned>(denom);
  jpeg_start_decompress(c);

  // The planes as the decoder writes them: whole blocks wide, whole block
  // rows high. (When reducing, the decoder may give chroma more samples than
  // the file has, so the layout is read off the component sizes.)
  Layout l;
  l.width = static_cast<int>(c->output_width);
  l.height = static_cast<int>(c->output_height);
  const jpeg_component_info* comp = c->comp_info;
  if (n == 1) {
    l.gray = true;
  } else {
    const int cw = static_cast<int>(comp[1].downsampled_width), ch = static_cast<int>(comp[1].downsampled_height);
    const int hw = (l.width + 1) / 2, hh = (l.height + 1) / 2;
    if (static_cast<int>(comp[2].downsampled_width) != cw || static_cast<int>(comp[2].downsampled_height) != ch ||
        static_cast<int>(comp[0].downsampled_width) != l.width) {
      jpeg_abort_decompress(c);
      return "unsupported JPEG chroma subsampling";
    }
    if (cw == l.width && ch == l.height) {
      l.format = frames::PixelFormat::i444;
    } else if (cw == hw && ch == l.height) {
      l.format = frames::PixelFormat::i422;
    } else if (cw == hw && ch == hh) {
      l.format = frames::PixelFormat::i420;
    } else {
      jpeg_abort_decompress(c);
      return "unsupported JPEG chroma subsampling";
    }
  }
  int rowsPerCall[3] = {0, 0, 0};
  size_t planeBytes[3] = {0, 0, 0};
  for (int i = 0; i < n; ++i) {
    rowsPerCall[i] = comp[i].v_samp_factor * comp[i].DCT_scaled_size;
    l.stride[i] = static_cast<int>(comp[i].width_in_blocks) * comp[i].DCT_scaled_size;
    planeBytes[i] = static_cast<size_t>(l.stride[i]) * rowsPerCall[i] * c->total_iMCU_rows;
  }
  if (l.gray) {  // 4:2:0 chroma of the luma's size, all 128
    l.stride[1] = l.stride[2] = (l.width + 1) / 2;
    planeBytes[1] = planeBytes[2] = static_cast<size_t>(l.stride[1]) * ((l.height + 1) / 2);
  }
  l.offset[1] = planeBytes[0];
  l.offset[2] = l.offset[1] + planeBytes[1];
  l.size = l.offset[2] + planeBytes[2];
  uint8_t* const base = memory(l);
  if (!base) {
    jpeg_abort_decompress(c);
    return "out of memory";
  }
  if (l.gray) std::memset(base + l.offset[1], 128, l.size - l.offset[1]);

  JSAMPARRAY planes[3] = {nullptr, nullptr, nullptr};
  for (int i = 0; i < n; ++i) {
    s->rows[i].resize(static_cast<size_t>(rowsPerCall[i]));
    planes[i] = s->rows[i].data();
  }
  for (JDIMENSION mcuRow = 0; mcuRow < c->total_iMCU_rows; ++mcuRow) {
    for (int i = 0; i < n; ++i) {
      uint8_t* row = base + l.offset[i] + static_cast<size_t>(mcuRow) * rowsPerCall[i] * l.stride[i];
      for (auto& r : s->rows[i]) {
        r = row;
        row += l.stride[i];
      }
    }
    const auto lines = static_cast<JDIMENSION>(c->max_v_samp_factor * c->min_DCT_scaled_size);
    if (jpeg_read_raw_data(c, planes, lines) == 0) {
      jpeg_abort_decompress(c);
      return "corrupt MJPEG data (stream ended early)";
    }
  }
  jpeg_finish_decompress(c);
  return {};
}

}  // namespace tovrelle::capture
