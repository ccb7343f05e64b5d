#pragma once
// Stand-in for the virtual camera device layer. Records what would be
// published and every frame queued (buffer, host-time stamp, sequence), and
// lets a test act as a client: clientStart()/clientStop() post the stream's
// start and stop requests to the client queue the way a backend does.
#include <mutex>
#include <vector>

#include "platform/camera/VirtualCamera.h"

namespace tovrelle::test {

class FakeVirtualCamera final : public camera::VirtualCamera {
 public:
  struct Frame {
    frames::ConstPixelBufferRef buffer;  // the drawn picture, if the frame is one
    uint64_t hostTimeNs = 0;
    uint64_t sequence = 0;
    frames::VideoFrame frame;
  };

  // Makes supportsFormat refuse every format (the fatal start-up path).
  void refuseFormats() { refuse_ = true; }

  bool supportsFormat(const camera::StreamFormat& format) const override {
    return !refuse_ && format.width > 0 && format.height > 0;
  }

  void publish(const camera::DeviceDescription& description, std::shared_ptr<dispatch::Queue> clientQueue,
               camera::StreamHandlers handlers) override {
    std::lock_guard lock(mutex_);
    description_ = description;
    clientQueue_ = std::move(clientQueue);
    handlers_ = std::move(handlers);
    published_ = true;
    ++publishCount_;
  }

  void unpublish() override {
    std::lock_guard lock(mutex_);
    published_ = false;
    handlers_ = {};
  }

  using camera::VirtualCamera::queueFrame;
  void queueFrame(const frames::VideoFrame& frame, uint64_t hostTimeNs, uint64_t sequence) override {
    std::lock_guard lock(mutex_);
    frames_.push_back({frame.picture, hostTimeNs, sequence, frame});
  }

  // ---- acting as a client ----
  void clientStart() { post(true); }
  void clientStop() { post(false); }

  // ---- what happened ----
  bool published() const {
    std::lock_guard lock(mutex_);
    return published_;
  }
  int publishCount() const {
    std::lock_guard lock(mutex_);
    return publishCount_;
  }
  camera::DeviceDescription description() const {
    std::lock_guard lock(mutex_);
    return description_;
  }
  std::shared_ptr<dispatch::Queue> clientQueue() const {
    std::lock_guard lock(mutex_);
    return clientQueue_;
  }
  std::vector<Frame> frames() const {
    std::lock_guard lock(mutex_);
    return frames_;
  }
  size_t frameCount() const {
    std::lock_guard lock(mutex_);
    return frames_.size();
  }
  Frame lastFrame() const {
    std::lock_guard lock(mutex_);
    return frames_.empty() ? Frame{} : frames_.back();
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
  bool refuse_ = false;
  bool published_ = false;
  int publishCount_ = 0;
  camera::DeviceDescription description_;
  std::shared_ptr<dispatch::Queue> clientQueue_;
  camera::StreamHandlers handlers_;
  std::vector<Frame> frames_;
};

}  // namespace tovrelle::test
