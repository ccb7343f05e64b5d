#include "platform/videodevice/VideoDevices.h"

namespace tovrelle::videodevice {

ServiceOutput parseServiceOutput(const std::string& text) {
  // The camera service's spellings, as it publishes them on its PipeWire node.
  if (text == "disabled") return ServiceOutput::disabled;
  if (text == "no-device") return ServiceOutput::noDevice;
  if (text == "refused") return ServiceOutput::refused;
  if (text == "busy") return ServiceOutput::busy;
  if (text == "failed") return ServiceOutput::failed;
  if (text == "ready") return ServiceOutput::ready;
  if (text == "reading") return ServiceOutput::reading;
  return ServiceOutput::unknown;
}

}  // namespace tovrelle::videodevice
