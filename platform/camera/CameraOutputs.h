#pragma once
// The virtual camera as several outputs at once (the PipeWire node and the
// V4L2 loopback device): every frame goes to each, and the stream runs while
// any of them has a reader. Outputs are told their handlers one by one; this
// class turns their separate starts and stops into one start when the first
// reader comes and one stop when the last goes.
// Thread-safe as VirtualCamera asks: the outputs are fixed once it is made,
// and the reader count is kept on the client queue, where every output calls
// its handlers. publish() and unpublish() come from the stream's owner.
#include <memory>
#include <vector>

#include "platform/camera/VirtualCamera.h"

namespace tovrelle::camera {

class CameraOutputs final : public VirtualCamera {
 public:
  // The first output decides which formats the stream may have; the others
  // adapt or stay silent.
  explicit CameraOutputs(std::vector<std::shared_ptr<VirtualCamera>> outputs);
  ~CameraOutputs() override;

  bool supportsFormat(const StreamFormat& format) const override;
  void publish(const DeviceDescription& description, std::shared_ptr<dispatch::Queue> clientQueue,
               StreamHandlers handlers) override;
  void unpublish() override;
  using VirtualCamera::queueFrame;
  void queueFrame(const frames::VideoFrame& frame, uint64_t hostTimeNs, uint64_t sequence) override;
  void setDeviceProperty(const std::string& key, const std::string& value) override;

 private:
  struct Readers;
  std::vector<std::shared_ptr<VirtualCamera>> outputs_;
  std::shared_ptr<Readers> readers_;
};

}  // namespace tovrelle::camera
