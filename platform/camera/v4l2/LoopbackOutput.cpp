#include "platform/camera/v4l2/LoopbackOutput.h"

#include <algorithm>
#include <cstring>

#include "platform/log/Log.h"

namespace tovrelle::camera::v4l2 {
namespace {

const log::Logger& logger() {
  static const log::Logger l("ossel.tovrelle", "VideoDevice");
  return l;
}

// YUYV black, limited range: Y 16, U and V 128.
void fillBlack(uint8_t* dst, size_t size) {
  const uint8_t pattern[4] = {16, 128, 16, 128};
  for (size_t i = 0; i + 4 <= size; i += 4) std::memcpy(dst + i, pattern, 4);
}

}  // namespace

const char* loopbackStateName(LoopbackState state) {
  switch (state) {
    case LoopbackState::noDevice: return "no-device";
    case LoopbackState::refused: return "refused";
    case LoopbackState::busy: return "busy";
    case LoopbackState::failed: return "failed";
    case LoopbackState::ready: return "ready";
    case LoopbackState::reading: return "reading";
  }
  return "failed";
}

LoopbackOutput::LoopbackOutput(std::unique_ptr<LoopbackPort> port, LoopbackOptions options)
    : port_(std::move(port)), options_(std::move(options)), blackToken_(std::make_shared<int>(0)) {}

LoopbackOutput::~LoopbackOutput() { unpublish(); }

bool LoopbackOutput::supportsFormat(const StreamFormat& f) const {
  return f.width > 0 && f.height > 0 && f.width % 2 == 0 && f.minFrameDuration.count() > 0;
}

void LoopbackOutput::publish(const DeviceDescription& description, std::shared_ptr<dispatch::Queue> clientQueue,
                             StreamHandlers handlers) {
  unpublish();
  {
    std::lock_guard guard(lock_);
    width_ = description.format.width;
    height_ = description.format.height;
    const auto& d = description.format.minFrameDuration;
    fps_ = d.count() > 0 ? std::max<int>(1, static_cast<int>(camera::FrameTime::period::den / d.count())) : 30;
    clientQueue_ = std::move(clientQueue);
    handlers_ = std::move(handlers);
    handlersLive_ = std::make_shared<std::atomic<bool>>(true);
    published_ = true;
    stopping_ = false;
  }
  nextAttempt_ = {};
  if (!options_.ownThread) return;
  thread_ = std::thread([this] {
    while (true) {
      {
        std::lock_guard guard(lock_);
        if (stopping_) break;
      }
      port_->wait(step(Clock::now()));
    }
  });
}

void LoopbackOutput::unpublish() {
  {
    std::lock_guard guard(lock_);
    if (!published_) return;
    published_ = false;
    stopping_ = true;
    if (handlersLive_) handlersLive_->store(false);
  }
  port_->wake();
  if (thread_.joinable()) thread_.join();
  std::lock_guard guard(lock_);
  if (open_) {
    open_ = false;
    buffers_.clear();
    port_->close();
  }
  reading_ = false;
}

LoopbackState LoopbackOutput::state() const {
  std::lock_guard guard(lock_);
  return state_.value_or(LoopbackState::noDevice);
}

bool LoopbackOutput::holds(int index, const std::shared_ptr<const void>& storage) const {
  if (index < 0 || !storage) return false;
  const auto& held = holding_[static_cast<size_t>(index)];
  return !held.expired() && !held.owner_before(storage) && !storage.owner_before(held);
}

void LoopbackOutput::queueFrame(const frames::VideoFrame& frame, uint64_t hostTimeNs, uint64_t) {
  if (!frame) return;
  {
    std::lock_guard guard(lock_);
    // Converting for a device nobody holds open would only cost the
    // sender's time; the black stand-in covers it.
    if (!open_ || !anyReader_) return;
    frameArrived_ = true;
    if (!holds(ready_, frame.storage)) {
      if (ready_ < 0 && holds(shown_, frame.storage)) {
        ready_ = shown_;  // the same picture again: readers get the buffer they have
      } else {
        const int count = static_cast<int>(buffers_.size());
        // Never the buffer readers may be reading; a waiting one is simply replaced.
        const int target = ready_ >= 0 && ready_ != shown_ ? ready_ : (shown_ + 1) % count;
        if (!writer_.write(frame, frames::PixelFormat::yuy2, width_, height_, buffers_[static_cast<size_t>(target)])) {
          if (!reportedUnwritable_)
            logger().error("cannot write a %dx%d %s frame to the video device; dropping such frames", frame.width,
                           frame.height, frames::pixelFormatName(frame.format));
          reportedUnwritable_ = true;
          holding_[static_cast<size_t>(target)].reset();
          return;
        }
        holding_[static_cast<size_t>(target)] = frame.storage;
        ready_ = target;
      }
    }
    readyStamp_ = hostTimeNs;
    idleShowing_ = false;
  }
  port_->wake();
}

LoopbackOutput::Clock::time_point LoopbackOutput::step(Clock::time_point now) {
  bool isOpen;
  {
    std::lock_guard guard(lock_);
    if (!published_) return now + std::chrono::hours(1);
    isOpen = open_;
  }
  if (!isOpen) {
    if (now >= nextAttempt_) open(now);
    std::lock_guard guard(lock_);
    if (!open_) return nextAttempt_;
  }

  const LoopbackPort::Events events = port_->events();
  if (events.gone) {
    lose(now, LoopbackState::noDevice, "the device went away");
    return nextAttempt_;
  }
  watchReaders(now, events.readers);
  {
    std::lock_guard guard(lock_);
    anyReader_ = events.readers > 0;
  }

  int index = -1;
  uint64_t stamp = 0;
  {
    std::lock_guard guard(lock_);
    if (frameArrived_) lastFrameAt_ = now;
    frameArrived_ = false;
    if (ready_ >= 0) {
      index = shown_ = ready_;
      ready_ = -1;
      stamp = readyStamp_;
    } else if (now - lastFrameAt_.value_or(Clock::time_point{}) >= options_.idleInterval &&
               now - lastQueuedAt_ >= options_.idleInterval) {
      // Nobody sends: black (never the last picture, which may be the
      // person in front of the camera) and again once a second.
      if (!idleShowing_) {
        const int count = static_cast<int>(buffers_.size());
        shown_ = (shown_ + 1) % count;
        fillBlack(buffers_[static_cast<size_t>(shown_)], port_->frameSize());
        holding_[static_cast<size_t>(shown_)] = blackToken_;
        idleShowing_ = true;
      }
      index = shown_;
      stamp = frames::hostTimeNanos();
    }
  }
  if (index >= 0) {
    lastQueuedAt_ = now;
    if (!port_->queue(index, stamp)) {
      lose(now, LoopbackState::failed, "writing a frame failed");
      return nextAttempt_;
    }
  }
  return nextWake(now);
}

LoopbackOutput::Clock::time_point LoopbackOutput::nextWake(Clock::time_point now) const {
  Clock::time_point next = std::max(now, lastQueuedAt_ + options_.idleInterval);
  if (readersSince_ && !reading_) next = std::min(next, *readersSince_ + options_.readerSettle);
  if (noReadersSince_ && reading_) next = std::min(next, *noReadersSince_ + options_.readerLinger);
  return std::max(next, now);
}

void LoopbackOutput::open(Clock::time_point now) {
  int width, height, fps;
  {
    std::lock_guard guard(lock_);
    width = width_;
    height = height_;
    fps = fps_;
  }
  nextAttempt_ = now + options_.retryInterval;
  const LoopbackPort::OpenResult result = port_->open(options_.label, width, height, fps);
  if (result.outcome != LoopbackPort::Outcome::opened) {
    LoopbackState state = LoopbackState::noDevice;
    switch (result.outcome) {
      case LoopbackPort::Outcome::refused: state = LoopbackState::refused; break;
      case LoopbackPort::Outcome::busy: state = LoopbackState::busy; break;
      case LoopbackPort::Outcome::failed: state = LoopbackState::failed; break;
      default: break;
    }
    report(state, result.node, result.why);
    return;
  }
  const int count = port_->bufferCount();
  if (count < 2 || port_->frameSize() < static_cast<size_t>(width) * height * 2) {
    port_->close();
    report(LoopbackState::failed, result.node, "the device gave too few or too small buffers");
    return;
  }
  {
    std::lock_guard guard(lock_);
    buffers_.clear();
    for (int i = 0; i < count; ++i) buffers_.push_back(port_->buffer(i));
    holding_.assign(static_cast<size_t>(count), {});
    shown_ = count - 1;
    ready_ = -1;
    idleShowing_ = false;
    frameArrived_ = false;
    anyReader_ = false;
    lastFrameAt_.reset();
    open_ = true;
  }
  lastQueuedAt_ = {};
  readersSince_.reset();
  noReadersSince_.reset();
  report(LoopbackState::ready, result.node, result.why);
}

void LoopbackOutput::lose(Clock::time_point now, LoopbackState state, const std::string& why) {
  {
    std::lock_guard guard(lock_);
    open_ = false;
    buffers_.clear();
    ready_ = shown_ = -1;
  }
  port_->close();
  setReading(false);
  readersSince_.reset();
  noReadersSince_.reset();
  nextAttempt_ = now + options_.retryInterval;
  report(state, node_, why);
}

void LoopbackOutput::watchReaders(Clock::time_point now, int readers) {
  if (readers > 0) {
    noReadersSince_.reset();
    if (!readersSince_) readersSince_ = now;
    if (!reading_ && now - *readersSince_ >= options_.readerSettle) setReading(true);
  } else {
    readersSince_.reset();
    if (!noReadersSince_) noReadersSince_ = now;
    if (reading_ && now - *noReadersSince_ >= options_.readerLinger) setReading(false);
  }
}

void LoopbackOutput::setReading(bool reading) {
  if (reading_ == reading) return;
  reading_ = reading;
  std::shared_ptr<dispatch::Queue> queue;
  std::function<void()> fn;
  std::shared_ptr<std::atomic<bool>> live;
  {
    std::lock_guard guard(lock_);
    queue = clientQueue_;
    fn = reading ? handlers_.startStream : handlers_.stopStream;
    live = handlersLive_;
  }
  if (state_ == LoopbackState::ready || state_ == LoopbackState::reading)
    report(reading ? LoopbackState::reading : LoopbackState::ready, node_, {});
  if (!queue || !fn || !live) return;
  queue->async([live, fn] {
    if (live->load()) fn();
  });
}

void LoopbackOutput::report(LoopbackState state, const std::string& node, const std::string& why) {
  std::optional<LoopbackState> was;
  {
    std::lock_guard guard(lock_);
    if (state_ == state && node_ == node) return;
    was = state_;
    state_ = state;
    node_ = node;
  }
  if (options_.onStatus) options_.onStatus(state, node);
  if (was == state) return;  // only the node changed: nothing new to say
  const char* where = node.empty() ? "the video device" : node.c_str();
  switch (state) {
    case LoopbackState::noDevice:
      logger().info("no video device labelled \"%s\"%s%s; programs that read only /dev/video* do not see the camera",
                    options_.label.c_str(), why.empty() ? "" : ": ", why.c_str());
      break;
    case LoopbackState::refused: logger().error("not writing to %s: %s", where, why.c_str()); break;
    case LoopbackState::busy:
      logger().error("another program already writes to %s (%s); the PipeWire camera goes on", where, why.c_str());
      break;
    case LoopbackState::failed:
      logger().error("the video device %s failed: %s; trying again", where, why.c_str());
      break;
    case LoopbackState::ready:
      if (was == LoopbackState::reading)
        logger().info("no program reads %s now", where);
      else if (why.empty())
        logger().info("streaming to %s", where);
      else
        logger().error("streaming to %s, but %s", where, why.c_str());
      break;
    case LoopbackState::reading: logger().info("a program reads %s", where); break;
  }
}

}  // namespace tovrelle::camera::v4l2
