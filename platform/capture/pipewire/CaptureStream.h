#pragma once
// What the PipeWire capture service and its sessions share: the camera node
// a session reads, the connection it runs on, and the gate that lets no
// callback start once its owner stops. Only the pipewire/ backend includes it.
#include <pipewire/pipewire.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "platform/capture/CaptureDevices.h"
#include "platform/capture/convert/FrameConverter.h"
#include "platform/log/Log.h"

namespace tovrelle::capture {

const log::Logger& logger();

struct CameraNode {
  uint32_t id = 0;
  std::string serial;
  DeviceInfo info;
};

// A device input: the node, and the format chosen from what it offers.
class PipeWireDeviceInput final : public DeviceInput {
 public:
  PipeWireDeviceInput(CameraNode node, VideoFormat format) : node_(std::move(node)), format_(format) {}
  const DeviceInfo& device() const override { return node_.info; }
  const CameraNode& node() const { return node_; }
  const VideoFormat& format() const { return format_; }

 private:
  CameraNode node_;
  VideoFormat format_;
};

// Between the loop and the output's queue. The queue is serial, so at most
// one callback runs at a time.
struct Gate {
  std::atomic<bool> busy{false};  // a frame is on its way to, or inside, the callback
  std::atomic<bool> live{false};  // streaming and not interrupted

  template <typename F>
  void run(F&& f) {
    {
      std::lock_guard lock(mutex_);
      if (!open_) return;
      runner_ = std::this_thread::get_id();
    }
    f();
    {
      std::lock_guard lock(mutex_);
      runner_ = {};
    }
    idle_.notify_all();
  }

  // No callback starts after this returns, and none is running, unless the
  // caller is that callback.
  void close() {
    std::unique_lock lock(mutex_);
    open_ = false;
    live = false;
    if (runner_ == std::this_thread::get_id()) return;
    idle_.wait(lock, [&] { return runner_ == std::thread::id{}; });
  }

 private:
  std::mutex mutex_;
  std::condition_variable idle_;
  bool open_ = true;
  std::thread::id runner_;
};

// A session's stream, told by the connection what happens to it. On the
// loop's thread only.
class StreamEvents {
 public:
  virtual ~StreamEvents() = default;
  virtual void onCoreDone(int seq) = 0;
  virtual void onNodeRemoved(uint32_t id) = 0;
  virtual void onNodeError(uint32_t id, int res, const char* message) = 0;
  // The connection is about to go: the stream goes first, with its buffers.
  virtual void onConnectionLost() = 0;
};

// What a session needs of the shared connection. loop() is fixed once the
// service has started; the rest is for the loop's thread only.
class Connection {
 public:
  virtual ~Connection() = default;
  virtual pw_thread_loop* loop() const = 0;  // none when the service could not start one
  virtual pw_core* core() = 0;               // none while disconnected
  // Whether the registry, as far as it has been read, still lists the node.
  virtual bool lists(const CameraNode& node) = 0;
  // A registered stream hears of syncs, node removals and the connection's end.
  virtual void add(StreamEvents* stream) = 0;
  virtual void remove(StreamEvents* stream) = 0;
};

// A session on the connection's loop; its frames are BGRA in the size of its
// preset, handed to the output's queue.
std::unique_ptr<CaptureSession> makeCaptureSession(std::shared_ptr<Connection> connection);

}  // namespace tovrelle::capture
