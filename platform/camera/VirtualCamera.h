#pragma once
// The virtual camera device as other programs see it: one published device
// with one output stream. The extension's objects describe the device and
// feed frames; a backend (PipeWire) makes it visible to clients. Extension
// code includes only this header.
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "platform/dispatch/Dispatch.h"
#include "platform/frames/VideoFrame.h"

namespace tovrelle::camera {

// Frame times count on the 90 kHz clock of video streams, which is exact
// for the usual rates (1/30 s is 3000 ticks) where nanoseconds are not.
using FrameTime = std::chrono::duration<int64_t, std::ratio<1, 90000>>;
inline double toSeconds(FrameTime t) { return std::chrono::duration<double>(t).count(); }
// The frame interval of a whole number of frames per second.
constexpr FrameTime frameInterval(int fps) { return FrameTime{FrameTime::period::den / fps}; }

// The one format a stream carries natively.
struct StreamFormat {
  frames::PixelFormat pixelFormat = frames::PixelFormat::unknown;
  int width = 0;
  int height = 0;
  FrameTime minFrameDuration{};
  FrameTime maxFrameDuration{};
  friend bool operator==(const StreamFormat&, const StreamFormat&) = default;
};

// Everything a backend publishes about the device and its stream.
struct DeviceDescription {
  std::string deviceName;    // localized device name
  std::string streamName;    // localized stream name
  std::string model;         // device model property
  std::string manufacturer;  // provider manufacturer property
  std::string deviceId;      // stable UUID text, the same across restarts
  std::string streamId;      // stable UUID text
  StreamFormat format;
};

// What the stream's owner does when a client starts or stops the stream.
// Backends call these on the client queue given to publish(), never on their
// own event thread, and never two at a time.
struct StreamHandlers {
  std::function<void()> startStream;
  std::function<void()> stopStream;
};

// Thread-safe: frames and device properties may come from any thread;
// publish() and unpublish() from the stream's owner, one call at a time.
class VirtualCamera {
 public:
  virtual ~VirtualCamera() = default;

  // True when the backend can carry frames in this format; a stream whose
  // format is refused cannot be built.
  virtual bool supportsFormat(const StreamFormat& format) const = 0;

  // Makes the device visible to clients. A backend whose service is not
  // reachable keeps trying and publishes as soon as it can.
  virtual void publish(const DeviceDescription& description, std::shared_ptr<dispatch::Queue> clientQueue,
                       StreamHandlers handlers) = 0;

  // Withdraws the device; no handler runs after this returns.
  virtual void unpublish() = 0;

  // Hands one frame to the clients, stamped with the host clock (ns,
  // CLOCK_MONOTONIC) and a sequence number. The frame keeps its own layout
  // (a drawn BGRA picture, a camera's planes) and is written once, in the
  // client's format, into the client's buffer. Its bytes must not change
  // afterwards. Safe from any thread (the timer queue and the capture queue
  // both send); frames that no client takes are dropped.
  virtual void queueFrame(const frames::VideoFrame& frame, uint64_t hostTimeNs, uint64_t sequence) = 0;
  void queueFrame(const frames::ConstFrameBufferRef& picture, uint64_t hostTimeNs, uint64_t sequence) {
    queueFrame(frames::VideoFrame::fromPicture(picture), hostTimeNs, sequence);
  }

  // A fact about the device that peers may read while it is published (the
  // PipeWire backend makes it a node property, so the app's status check
  // sees it). Backends without such a place ignore it. Safe from any thread.
  virtual void setDeviceProperty(const std::string& /*key*/, const std::string& /*value*/) {}
};

}  // namespace tovrelle::camera
