#pragma once
// Stand-in for the virtual camera device layer. Records every frame queued (buffer, host-time stamp, sequence), and
// lets a test act as a client: clientStart()/clientStop() post the stream's
// start and stop requests to the client queue the way a backend does.
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "platform/camera/VirtualCamera.h"

namespace tovrelle::test {

class FakeVirtualCamera final : public camera::VirtualCamera {
 public:
  struct Frame {
    frames::ConstFrameBufferRef buffer;  // the drawn picture, if the frame is one
    uint64_t hostTimeNs = 0;
    uint64_t sequence = 0;
    frames::VideoFrame frame;
  };

  bool supportsFormat(const camera::StreamFormat& format) const override {
    return format.width > 0 && format.height > 0;
  }

  void publish(const camera::DeviceDescription&, std::shared_ptr<dispatch::Queue> clientQueue,
               camera::StreamHandlers handlers) override {
    std::lock_guard lock(mutex_);
    clientQueue_ = std::move(clientQueue);
    handlers_ = std::move(handlers);
  }

  void unpublish() override {
    std::lock_guard lock(mutex_);
    handlers_ = {};
  }

  using camera::VirtualCamera::queueFrame;
  void queueFrame(const frames::VideoFrame& frame, uint64_t hostTimeNs, uint64_t sequence) override {
    std::lock_guard lock(mutex_);
    frames_.push_back({frame.picture, hostTimeNs, sequence, frame});
  }

  void setDeviceProperty(const std::string& key, const std::string& value) override {
    std::lock_guard lock(mutex_);
    properties_[key] = value;
  }

  // ---- acting as a client ----
  void clientStart() { post(true); }
  void clientStop() { post(false); }

  // ---- what happened ----
  std::vector<Frame> frames() const {
    std::lock_guard lock(mutex_);
    return frames_;
  }
  // The device property's value, empty when it was never set.
  std::string property(const std::string& key) const {
    std::lock_guard lock(mutex_);
    auto it = properties_.find(key);
    return it == properties_.end() ? std::string() : it->second;
  }
  void clearFrames() {
    std::lock_guard lock(mutex_);
    frames_.clear();
  }

 private:
  void post(bool start) {
    std::shared_ptr<dispatch::Queue> queue;
    std::function<void()> fn;
    {
      std::lock_guard lock(mutex_);
      queue = clientQueue_;
      fn = start ? handlers_.startStream : handlers_.stopStream;
    }
    if (queue && fn) queue->async(fn);
  }

  mutable std::mutex mutex_;
  std::shared_ptr<dispatch::Queue> clientQueue_;
  camera::StreamHandlers handlers_;
  std::vector<Frame> frames_;
  std::map<std::string, std::string> properties_;
};

}  // namespace tovrelle::test
