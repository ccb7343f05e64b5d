#pragma once
#include <memory>

#include "platform/capture/CaptureDevices.h"

namespace tovrelle::capture {

// The capture service on PipeWire: camera nodes from the registry, consumed with pw_stream.
std::shared_ptr<CaptureDevices> makePipeWireCaptureDevices();

}  // namespace tovrelle::capture
