#include "platform/camera/CameraOutputs.h"

namespace tovrelle::camera {

// Which outputs have a reader. Touched only on the client queue, where every
// output posts its handlers, so it needs no lock.
struct CameraOutputs::Readers {
  StreamHandlers handlers;
  std::vector<bool> reading;
  bool streaming = false;

  void set(size_t output, bool on) {
    reading[output] = on;
    bool any = false;
    for (bool r : reading) any = any || r;
    if (any == streaming) return;
    streaming = any;
    auto& fn = any ? handlers.startStream : handlers.stopStream;
    if (fn) fn();
  }
};

CameraOutputs::CameraOutputs(std::vector<std::shared_ptr<VirtualCamera>> outputs) : outputs_(std::move(outputs)) {}

CameraOutputs::~CameraOutputs() = default;

bool CameraOutputs::supportsFormat(const StreamFormat& format) const {
  return !outputs_.empty() && outputs_.front()->supportsFormat(format);
}

void CameraOutputs::publish(const DeviceDescription& description, std::shared_ptr<dispatch::Queue> clientQueue,
                            StreamHandlers handlers) {
  readers_ = std::make_shared<Readers>();
  readers_->handlers = std::move(handlers);
  readers_->reading.assign(outputs_.size(), false);
  for (size_t i = 0; i < outputs_.size(); ++i) {
    // Each publish replaces the last; a stale handler holds a stale Readers.
    std::weak_ptr<Readers> weak = readers_;
    StreamHandlers mine;
    mine.startStream = [weak, i] {
      if (auto r = weak.lock()) r->set(i, true);
    };
    mine.stopStream = [weak, i] {
      if (auto r = weak.lock()) r->set(i, false);
    };
    outputs_[i]->publish(description, clientQueue, std::move(mine));
  }
}

void CameraOutputs::unpublish() {
  for (auto& output : outputs_) output->unpublish();
  readers_.reset();
}

void CameraOutputs::queueFrame(const frames::VideoFrame& frame, uint64_t hostTimeNs, uint64_t sequence) {
  for (auto& output : outputs_) output->queueFrame(frame, hostTimeNs, sequence);
}

void CameraOutputs::setDeviceProperty(const std::string& key, const std::string& value) {
  for (auto& output : outputs_) output->setDeviceProperty(key, value);
}

}  // namespace tovrelle::camera
