#pragma once
// The camera capture service both deliverables use: discovery with hot-plug
// notifications, authorization, and capture sessions that hand frames, in the
// camera's own pixel layout, to a callback on the caller's serial queue. Model code includes only
// this header; the PipeWire backend and the test fake implement it.
// Thread-safe: the services, sessions and subscriptions may be used from any
// thread, as each call below says.
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/dispatch/Dispatch.h"
#include "platform/frames/VideoFrame.h"

namespace tovrelle::capture {

enum class AuthorizationStatus { notDetermined = 0, restricted = 1, denied = 2, authorized = 3 };

struct DeviceInfo {
  std::string uniqueId;       // stable while attached and across restarts
  std::string localizedName;  // "Tovrelle" for our own virtual camera
  friend bool operator==(const DeviceInfo&, const DeviceInfo&) = default;
};

enum class DeviceEvent { connected, disconnected };

// One captured frame. `image` keeps the camera's layout and full picture; the
// caller crops it to 16:9, scales and converts once, where it shows it
// (frames::FrameWriter). Empty for buffers without a picture.
struct CapturedFrame {
  frames::VideoFrame image;
  uint64_t presentationTimeNs = 0;  // the capture's own stamp (host clock)
  uint64_t sequence = 0;
};

// Keeps a notification registration alive; destroying it unregisters.
class Subscription {
 public:
  virtual ~Subscription() = default;
};

// A device opened for capture, ready to be added to a session.
class DeviceInput {
 public:
  virtual ~DeviceInput() = default;
  virtual const DeviceInfo& device() const = 0;
};

// Where frames go. Frames that arrive while the callback is still busy with
// an earlier one are dropped (only the newest waiting frame is kept).
struct VideoOutput {
  frames::PixelFormat pixelFormat = frames::PixelFormat::bgra;  // what the caller finally shows
  bool alwaysDiscardsLateVideoFrames = true;
  std::shared_ptr<dispatch::Queue> callbackQueue;
  std::function<void(const CapturedFrame&)> onFrame;
  // Optional. Called once on `callbackQueue` when a running session stops on
  // its own (the camera went away, PipeWire went down); no frame follows.
  // The session still needs stopRunning to release it.
  std::function<void(const std::string& reason)> onInterrupted;
};

struct InputResult {
  std::shared_ptr<DeviceInput> input;  // none on failure
  std::string error;                   // why the device cannot be opened
};

class CaptureSession {
 public:
  virtual ~CaptureSession() = default;  // stops a running session
  // Callers ask for 1280x720: the camera mode chosen is the one closest to it.
  virtual void setPreset(int width, int height) = 0;
  virtual bool canAddInput(const DeviceInput& input) const = 0;
  virtual void addInput(std::shared_ptr<DeviceInput> input) = 0;
  virtual bool canAddOutput(const VideoOutput& output) const = 0;
  virtual void addOutput(std::shared_ptr<VideoOutput> output) = 0;
  // Called on the capture queue; returns once the stream is running or has failed.
  virtual void startRunning() = 0;
  // Safe from any thread; once it returns no further frame callback starts.
  virtual void stopRunning() = 0;
  virtual bool isRunning() const = 0;
};

class CaptureDevices {
 public:
  virtual ~CaptureDevices() = default;
  // The cameras present now, in the system's order. Our own virtual camera
  // is listed like any other; callers drop it by name.
  virtual std::vector<DeviceInfo> devices() = 0;
  virtual std::optional<DeviceInfo> deviceWithUniqueId(const std::string& uniqueId) = 0;
  // The camera the system names as its default (PipeWire's default video
  // source), when it names one that is attached; none otherwise.
  virtual std::optional<DeviceInfo> defaultDevice() { return std::nullopt; }
  // Called on any thread after the device list has changed.
  virtual std::unique_ptr<Subscription> subscribe(std::function<void(DeviceEvent, const DeviceInfo&)> handler) = 0;
  virtual AuthorizationStatus authorizationStatus() = 0;
  // The completion may run on any thread.
  virtual void requestAccess(std::function<void(bool granted)> completion) = 0;
  virtual InputResult makeInput(const DeviceInfo& device) = 0;
  virtual std::unique_ptr<CaptureSession> makeSession() = 0;
};

}  // namespace tovrelle::capture
