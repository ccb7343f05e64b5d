#pragma once
// The virtual camera as a V4L2 device, for programs that look for cameras
// only under /dev/video*: frames go to the v4l2loopback device labelled
// "Tovrelle" as YUYV at the stream's size and rate.
//
// Thread-safe. The output's own thread owns the port (open, queue, events) and
// the reader and status state; queueFrame() runs on the senders' threads and
// writes the frame into a free mmap buffer under `lock_`, which the own
// thread takes only briefly and never across a device call. A device that
// stalls therefore delays no sender.
//
// While nobody holds the device open, frames are not written and the device
// keeps streaming black once a second, so programs that list only streaming
// loopback devices keep listing the camera.
// A reader counts once it has held the device for `readerSettle`: programs
// that only list cameras open and close it quickly and must not switch the
// physical camera on.
#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "platform/camera/VirtualCamera.h"
#include "platform/camera/v4l2/LoopbackPort.h"

namespace tovrelle::camera::v4l2 {

enum class LoopbackState { noDevice, refused, busy, failed, ready, reading };
// The stored spelling of a state ("no-device", "reading", ...): the value of
// the camera's "tovrelle.v4l2.state" property.
const char* loopbackStateName(LoopbackState state);

inline constexpr const char* kStateProperty = "tovrelle.v4l2.state";
inline constexpr const char* kDeviceProperty = "tovrelle.v4l2.device";

struct LoopbackOptions {
  std::string label = "Tovrelle";
  std::chrono::milliseconds retryInterval{1000};
  std::chrono::milliseconds readerSettle{500};
  std::chrono::milliseconds readerLinger{1500};
  std::chrono::milliseconds idleInterval{1000};
  // Told every change of state (on the output's thread).
  std::function<void(LoopbackState state, const std::string& node)> onStatus;
  // False in tests, which drive step() themselves.
  bool ownThread = true;
};

class LoopbackOutput final : public VirtualCamera {
 public:
  using Clock = std::chrono::steady_clock;

  LoopbackOutput(std::unique_ptr<LoopbackPort> port, LoopbackOptions options);
  ~LoopbackOutput() override;

  bool supportsFormat(const StreamFormat& format) const override;
  void publish(const DeviceDescription& description, std::shared_ptr<dispatch::Queue> clientQueue,
               StreamHandlers handlers) override;
  void unpublish() override;
  using VirtualCamera::queueFrame;
  void queueFrame(const frames::VideoFrame& frame, uint64_t hostTimeNs, uint64_t sequence) override;

  // One turn of the output's loop; returns when it next wants to run.
  Clock::time_point step(Clock::time_point now);

  LoopbackState state() const;

 private:
  void open(Clock::time_point now);
  void lose(Clock::time_point now, LoopbackState state, const std::string& why);
  void report(LoopbackState state, const std::string& node, const std::string& why);
  void watchReaders(Clock::time_point now, int readers);
  void setReading(bool reading);
  Clock::time_point nextWake(Clock::time_point now) const;
  bool holds(int index, const std::shared_ptr<const void>& storage) const;

  std::unique_ptr<LoopbackPort> port_;
  LoopbackOptions options_;
  frames::FrameWriter writer_;  // under lock_

  // Set by publish/unpublish; read by the own thread under lock_.
  mutable std::mutex lock_;
  bool published_ = false;
  bool stopping_ = false;
  int width_ = 0, height_ = 0, fps_ = 30;
  std::shared_ptr<dispatch::Queue> clientQueue_;
  StreamHandlers handlers_;
  std::shared_ptr<std::atomic<bool>> handlersLive_;

  // The device's buffers (lock_): which picture each holds, the one readers
  // have now, the one waiting to be queued, and when a frame last came.
  bool open_ = false;
  std::vector<uint8_t*> buffers_;
  std::vector<std::weak_ptr<const void>> holding_;
  int shown_ = -1;
  int ready_ = -1;
  uint64_t readyStamp_ = 0;
  bool idleShowing_ = false;
  bool frameArrived_ = false;  // since the last step, which dates it
  bool anyReader_ = false;     // anyone holds the device open, even briefly
  std::optional<Clock::time_point> lastFrameAt_;
  bool reportedUnwritable_ = false;

  // The own thread's state.
  std::optional<LoopbackState> state_;
  std::string node_;
  Clock::time_point nextAttempt_{};
  Clock::time_point lastQueuedAt_{};
  std::optional<Clock::time_point> readersSince_;
  std::optional<Clock::time_point> noReadersSince_;
  bool reading_ = false;
  std::shared_ptr<const void> blackToken_;
  std::thread thread_;
};

}  // namespace tovrelle::camera::v4l2
