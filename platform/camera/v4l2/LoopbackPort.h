#pragma once
// What the loopback output needs from the kernel, in one small seam: find
// and open the v4l2loopback device with a given label as a streaming output,
// hand its mmap buffers to readers, and tell who else holds it open. The real
// port talks to the device; tests use a fake.
// Thread-bound (the loopback output's own thread; once that is joined, the
// thread that stopped it), except wake().
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>

namespace tovrelle::camera::v4l2 {

class LoopbackPort {
 public:
  enum class Outcome {
    opened,
    noDevice,  // no V4L2 device carries the label
    refused,   // one does, but it is not a v4l2loopback output we may write to
    busy,      // another program already writes to it
    failed,    // it would not take our format, buffers or stream
  };
  struct OpenResult {
    Outcome outcome = Outcome::noDevice;
    std::string node;  // "/dev/videoN" where one was found
    std::string why;   // for the log: why not opened, or a caveat when opened
  };
  struct Events {
    int readers = 0;    // other open handles of the device (at least those we can see)
    bool gone = false;  // the device was removed or stopped answering
  };

  virtual ~LoopbackPort() = default;

  // Opens the device labelled `label` and starts streaming YUYV frames of
  // this size and rate through mmap buffers.
  virtual OpenResult open(const std::string& label, int width, int height, int fps) = 0;
  virtual void close() = 0;

  // The mmap buffers, valid from a successful open until close.
  virtual int bufferCount() const = 0;
  virtual uint8_t* buffer(int index) const = 0;
  virtual size_t frameSize() const = 0;

  // Hands buffer `index`, whose bytes are a whole frame, to the readers.
  // False when the device failed or went away.
  virtual bool queue(int index, uint64_t hostTimeNs) = 0;

  // What happened to the device since the last call.
  virtual Events events() = 0;

  // Sleeps until `deadline`, wake(), or something happening to the device.
  virtual void wait(std::chrono::steady_clock::time_point deadline) = 0;
  // Safe from any thread.
  virtual void wake() = 0;
};

}  // namespace tovrelle::camera::v4l2
