// Feeds arbitrary bytes through everything the extension does with a library
// file: the frame list and delays, every frame's decode, the fit into a frame
// and a rewind.
extern "C" {
#include <libavutil/log.h>
}

#include <cstddef>
#include <cstdint>

#include "platform/frames/FrameBuffer.h"
#include "platform/imaging/ByteSource.h"
#include "platform/imaging/Decoder.h"
#include "platform/imaging/Fit.h"
#include "platform/imaging/FrameDelay.h"

using namespace tovrelle;

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  av_log_set_level(AV_LOG_QUIET);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // The container parsers on the raw bytes, as if they were one frame's data.
  (void)imaging::frameDelay(imaging::gifFrameDelays(data, size));
  (void)imaging::frameDelay(imaging::apngFrameDelays(data, size));

  // Smaller limits than the extension's keep each run quick and within the
  // fuzzer's memory budget; the code paths are the same.
  imaging::Limits limits;
  limits.maxPixels = 2 * 1024 * 1024;
  limits.maxFrames = 32;
  auto bytes = imaging::memoryBytes(data, size);
  if (auto info = imaging::inspectImage(bytes, limits)) {
    for (const auto& delays : info->frames) (void)imaging::frameDelay(delays);
  }
  auto opened = imaging::Decoder::open(bytes, limits);
  if (!opened) return 0;
  auto& decoder = *opened;
  auto frame = frames::makeFrameBuffer(64, 36);
  imaging::Canvas canvas;
  for (size_t i = 0; i < limits.maxFrames; ++i) {
    const auto result = decoder->next(canvas);
    if (result == imaging::Decoder::Step::End) break;
    if (result == imaging::Decoder::Step::Frame && i < 3) imaging::renderFitted(canvas, *frame);
  }
  if (decoder->rewind()) decoder->next(canvas);
  return 0;
}
