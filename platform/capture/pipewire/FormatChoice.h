#pragma once
// What a camera node offers (its EnumFormat params) and which offer we take.
#include <optional>
#include <string>
#include <vector>

#include "platform/capture/convert/FrameConverter.h"

struct spa_pod;
struct spa_pod_builder;

namespace tovrelle::capture {

// Expands one EnumFormat param into concrete offers: every listed pixel
// format, with the size and rate nearest the target that its ranges allow.
// Unknown media types and pixel formats are skipped.
std::vector<VideoFormat> parseOffers(const spa_pod* param, int targetWidth, int targetHeight);

// The best offer for a 1280x720 picture: a full frame rate first, then a
// size that needs no upscaling (the smallest such), then the cheapest
// conversion. None when nothing is usable.
std::optional<VideoFormat> chooseBest(const std::vector<VideoFormat>& offers, int targetWidth, int targetHeight);

// The one EnumFormat our capture stream offers back: exactly `format`.
const spa_pod* buildFormatParam(spa_pod_builder* builder, const VideoFormat& format);

// Reads the negotiated Format param; none when it is not one we handle.
std::optional<VideoFormat> parseNegotiated(const spa_pod* param);

// A Format param we do not handle, named for a log line ("raw GRAY8 640x480").
std::string describeFormatParam(const spa_pod* param);

std::string describeOffers(const std::vector<VideoFormat>& offers);

}  // namespace tovrelle::capture
