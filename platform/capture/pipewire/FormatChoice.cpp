#include "platform/capture/pipewire/FormatChoice.h"

#include <spa/debug/types.h>
#include <spa/param/format-utils.h>
#include <spa/param/video/format-utils.h>
#include <spa/param/video/type-info.h>
#include <spa/pod/builder.h>
#include <spa/pod/iter.h>

#include <algorithm>
#include <tuple>

namespace tovrelle::capture {
namespace {

// The table's SPA numbers are PipeWire's.
static_assert(frames::info(frames::PixelFormat::bgrx).spa == SPA_VIDEO_FORMAT_BGRx &&
              frames::info(frames::PixelFormat::bgra).spa == SPA_VIDEO_FORMAT_BGRA &&
              frames::info(frames::PixelFormat::rgbx).spa == SPA_VIDEO_FORMAT_RGBx &&
              frames::info(frames::PixelFormat::rgba).spa == SPA_VIDEO_FORMAT_RGBA &&
              frames::info(frames::PixelFormat::xrgb).spa == SPA_VIDEO_FORMAT_xRGB &&
              frames::info(frames::PixelFormat::xbgr).spa == SPA_VIDEO_FORMAT_xBGR &&
              frames::info(frames::PixelFormat::argb).spa == SPA_VIDEO_FORMAT_ARGB &&
              frames::info(frames::PixelFormat::abgr).spa == SPA_VIDEO_FORMAT_ABGR &&
              frames::info(frames::PixelFormat::rgb).spa == SPA_VIDEO_FORMAT_RGB &&
              frames::info(frames::PixelFormat::bgr).spa == SPA_VIDEO_FORMAT_BGR &&
              frames::info(frames::PixelFormat::yuy2).spa == SPA_VIDEO_FORMAT_YUY2 &&
              frames::info(frames::PixelFormat::uyvy).spa == SPA_VIDEO_FORMAT_UYVY &&
              frames::info(frames::PixelFormat::nv12).spa == SPA_VIDEO_FORMAT_NV12 &&
              frames::info(frames::PixelFormat::i420).spa == SPA_VIDEO_FORMAT_I420 &&
              frames::info(frames::PixelFormat::i422).spa == SPA_VIDEO_FORMAT_Y42B &&
              frames::info(frames::PixelFormat::i444).spa == SPA_VIDEO_FORMAT_Y444 &&
              frames::info(frames::PixelFormat::gray8).spa == SPA_VIDEO_FORMAT_GRAY8);

// Conversion cost, higher is cheaper; 0 for formats the converter does not read.
int cheapness(frames::PixelFormat f) {
  switch (f) {
    case frames::PixelFormat::bgrx:
    case frames::PixelFormat::bgra: return 6;
    case frames::PixelFormat::rgbx:
    case frames::PixelFormat::rgba:
    case frames::PixelFormat::xrgb:
    case frames::PixelFormat::xbgr:
    case frames::PixelFormat::argb:
    case frames::PixelFormat::abgr: return 5;
    case frames::PixelFormat::yuy2:
    case frames::PixelFormat::uyvy: return 4;
    case frames::PixelFormat::nv12:
    case frames::PixelFormat::i420: return 3;
    case frames::PixelFormat::rgb:
    case frames::PixelFormat::bgr: return 2;
    case frames::PixelFormat::mjpeg: return 1;
    default: break;
  }
  return 0;
}

double rate(const VideoFormat& f) {
  return f.fpsNum > 0 && f.fpsDen > 0 ? static_cast<double>(f.fpsNum) / f.fpsDen : 30.0;  // variable: as good as 30
}

// Values of a property: the plain value or a choice's alternatives.
template <typename T>
struct Values {
  uint32_t choice = SPA_CHOICE_None;
  std::vector<T> items;  // for Range: default, min, max (and step)
};

template <typename T>
bool readValues(const spa_pod* object, uint32_t key, uint32_t podType, Values<T>& out) {
  const spa_pod_prop* prop = spa_pod_find_prop(object, nullptr, key);
  if (!prop) return false;
  uint32_t n = 0, choice = 0;
  const spa_pod* values = spa_pod_get_values(&prop->value, &n, &choice);
  if (values->type != podType || values->size < sizeof(T)) return false;
  const auto* items = static_cast<const T*>(SPA_POD_BODY_CONST(values));
  out.choice = choice;
  out.items.assign(items, items + std::min<uint32_t>(n, 64));
  return !out.items.empty();
}

spa_rectangle pickSize(const Values<spa_rectangle>& v, int tw, int th) {
  if (v.choice == SPA_CHOICE_Range && v.items.size() >= 3) {
    const spa_rectangle& lo = v.items[1];
    const spa_rectangle& hi = v.items[2];
    return SPA_RECTANGLE(std::clamp<uint32_t>(static_cast<uint32_t>(tw), lo.width, std::max(lo.width, hi.width)),
                         std::clamp<uint32_t>(static_cast<uint32_t>(th), lo.height, std::max(lo.height, hi.height)));
  }
  return v.items[0];
}

std::vector<spa_rectangle> sizeCandidates(const Values<spa_rectangle>& v, int tw, int th) {
  if (v.choice == SPA_CHOICE_Enum) {
    // First item is the default and is repeated among the alternatives.
    return {v.items.begin() + (v.items.size() > 1 ? 1 : 0), v.items.end()};
  }
  return {pickSize(v, tw, th)};
}

spa_fraction pickRate(const Values<spa_fraction>& v) {
  auto value = [](const spa_fraction& f) { return f.denom ? static_cast<double>(f.num) / f.denom : 0.0; };
  if (v.choice == SPA_CHOICE_Range && v.items.size() >= 3) {
    const spa_fraction& lo = v.items[1];
    const spa_fraction& hi = v.items[2];
    if (value(hi) >= 30.0 && value(lo) <= 30.0) return SPA_FRACTION(30, 1);
    return value(hi) < 30.0 ? hi : lo;
  }
  if (v.choice == SPA_CHOICE_Enum && v.items.size() > 1) {
    // The highest rate up to 30, else the lowest above it.
    std::optional<spa_fraction> best;
    for (size_t i = 1; i < v.items.size(); ++i) {
      const spa_fraction& f = v.items[i];
      if (!f.denom) continue;
      if (!best) {
        best = f;
        continue;
      }
      double b = value(*best), c = value(f);
      bool better = (c <= 30.0 && (b > 30.0 || c > b)) || (c > 30.0 && b > 30.0 && c < b);
      if (better) best = f;
    }
    if (best) return *best;
  }
  return v.items[0];
}

}  // namespace

std::vector<VideoFormat> parseOffers(const spa_pod* param, int tw, int th) {
  std::vector<VideoFormat> offers;
  if (!param || !spa_pod_is_object_type(param, SPA_TYPE_OBJECT_Format)) return offers;
  uint32_t mediaType = 0, mediaSubtype = 0;
  if (spa_format_parse(param, &mediaType, &mediaSubtype) < 0 || mediaType != SPA_MEDIA_TYPE_video) return offers;

  std::vector<frames::PixelFormat> formats;
  if (mediaSubtype == SPA_MEDIA_SUBTYPE_mjpg) {
    formats.push_back(frames::PixelFormat::mjpeg);
  } else if (mediaSubtype == SPA_MEDIA_SUBTYPE_raw) {
    Values<uint32_t> ids;
    if (!readValues(param, SPA_FORMAT_VIDEO_format, SPA_TYPE_Id, ids)) return offers;
    size_t first = ids.choice == SPA_CHOICE_Enum && ids.items.size() > 1 ? 1 : 0;
    for (size_t i = first; i < ids.items.size(); ++i) {
      frames::PixelFormat f = frames::fromSpa(ids.items[i]);
      if (cheapness(f) > 0 && std::find(formats.begin(), formats.end(), f) == formats.end()) formats.push_back(f);
    }
  } else {
    return offers;
  }
  if (formats.empty()) return offers;

  Values<spa_rectangle> sizes;
  if (!readValues(param, SPA_FORMAT_VIDEO_size, SPA_TYPE_Rectangle, sizes)) return offers;
  Values<spa_fraction> rates;
  spa_fraction fps = SPA_FRACTION(0, 1);
  if (readValues(param, SPA_FORMAT_VIDEO_framerate, SPA_TYPE_Fraction, rates)) fps = pickRate(rates);

  for (const spa_rectangle& size : sizeCandidates(sizes, tw, th)) {
    if (size.width < 2 || size.height < 2 || size.width > static_cast<uint32_t>(FrameConverter::kMaxSide) ||
        size.height > static_cast<uint32_t>(FrameConverter::kMaxSide))
      continue;
    for (frames::PixelFormat f : formats) {
      VideoFormat offer;
      offer.format = f;
      offer.width = static_cast<int>(size.width);
      offer.height = static_cast<int>(size.height);
      offer.fpsNum = static_cast<int>(fps.num);
      offer.fpsDen = fps.denom ? static_cast<int>(fps.denom) : 1;
      offers.push_back(offer);
    }
  }
  return offers;
}

std::optional<VideoFormat> chooseBest(const std::vector<VideoFormat>& offers, int tw, int th) {
  auto key = [&](const VideoFormat& f) {
    const bool fullRate = rate(f) >= 24.0;
    const bool covers = f.width >= tw && f.height >= th;
    const int64_t area = static_cast<int64_t>(f.width) * f.height;
    const int64_t sizeScore = covers ? -area : area;  // covering: smallest; else: biggest
    return std::make_tuple(fullRate, covers, sizeScore, cheapness(f.format), std::min(rate(f), 30.0));
  };
  std::optional<VideoFormat> best;
  for (const auto& offer : offers) {
    if (cheapness(offer.format) == 0) continue;
    if (!best || key(offer) > key(*best)) best = offer;
  }
  return best;
}

const spa_pod* buildFormatParam(spa_pod_builder* b, const VideoFormat& f) {
  spa_rectangle size = SPA_RECTANGLE(static_cast<uint32_t>(f.width), static_cast<uint32_t>(f.height));
  spa_fraction fps = SPA_FRACTION(static_cast<uint32_t>(f.fpsNum), static_cast<uint32_t>(std::max(f.fpsDen, 1)));
  spa_pod_frame frame;
  spa_pod_builder_push_object(b, &frame, SPA_TYPE_OBJECT_Format, SPA_PARAM_EnumFormat);
  spa_pod_builder_add(b, SPA_FORMAT_mediaType, SPA_POD_Id(SPA_MEDIA_TYPE_video), 0);
  if (f.format == frames::PixelFormat::mjpeg) {
    spa_pod_builder_add(b, SPA_FORMAT_mediaSubtype, SPA_POD_Id(SPA_MEDIA_SUBTYPE_mjpg), 0);
  } else {
    spa_pod_builder_add(b, SPA_FORMAT_mediaSubtype, SPA_POD_Id(SPA_MEDIA_SUBTYPE_raw), SPA_FORMAT_VIDEO_format,
                        SPA_POD_Id(frames::info(f.format).spa), 0);
  }
  spa_pod_builder_add(b, SPA_FORMAT_VIDEO_size, SPA_POD_Rectangle(&size), 0);
  if (f.fpsNum > 0) {
    spa_pod_builder_add(b, SPA_FORMAT_VIDEO_framerate, SPA_POD_Fraction(&fps), 0);
  } else {
    spa_fraction lo = SPA_FRACTION(0, 1), hi = SPA_FRACTION(1000, 1);
    spa_pod_builder_add(b, SPA_FORMAT_VIDEO_framerate, SPA_POD_CHOICE_RANGE_Fraction(&fps, &lo, &hi), 0);
  }
  return static_cast<const spa_pod*>(spa_pod_builder_pop(b, &frame));
}

std::optional<VideoFormat> parseNegotiated(const spa_pod* param) {
  auto offers = parseOffers(param, 0, 0);
  if (offers.size() != 1) return std::nullopt;
  return offers.front();
}

std::string describeFormatParam(const spa_pod* param) {
  uint32_t mediaType = 0, mediaSubtype = 0;
  if (!param || spa_format_parse(param, &mediaType, &mediaSubtype) < 0) return "an unreadable format";
  const char* subtype = spa_debug_type_find_short_name(spa_type_media_subtype, mediaSubtype);
  std::string out = subtype ? subtype : "unknown";
  spa_video_info_raw raw{};
  if (mediaSubtype == SPA_MEDIA_SUBTYPE_raw && spa_format_video_raw_parse(param, &raw) >= 0) {
    const char* name = spa_debug_type_find_short_name(spa_type_video_format, raw.format);
    out += std::string(" ") + (name ? name : "unknown") + " " + std::to_string(raw.size.width) + "x" +
           std::to_string(raw.size.height);
  }
  return out;
}

std::string describeOffers(const std::vector<VideoFormat>& offers) {
  std::string out;
  for (const auto& o : offers) {
    if (!out.empty()) out += ", ";
    out += describe(o);
  }
  return out.empty() ? std::string("nothing") : out;
}

}  // namespace tovrelle::capture
