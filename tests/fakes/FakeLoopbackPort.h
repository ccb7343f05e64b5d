#pragma once
// Stand-in for the kernel's loopback device: buffers in memory, an open
// outcome the test chooses, readers the test sets, and a record of every
// buffer handed to readers with what it held at that moment.
#include <cstring>
#include <deque>
#include <vector>

#include "platform/camera/v4l2/LoopbackPort.h"

namespace tovrelle::test {

class FakeLoopbackPort final : public camera::v4l2::LoopbackPort {
 public:
  struct Queued {
    int index;
    uint64_t stamp;
    std::vector<uint8_t> bytes;  // the first pixels, as a reader would see them
  };
  struct State {
    std::deque<OpenResult> outcomes;  // next open()s; empty: opened
    OpenResult fallback{Outcome::opened, "/dev/video7", {}};
    int opens = 0;
    int closes = 0;
    int buffers = 4;
    size_t frameSize = 0;
    int readers = 0;
    bool gone = false;
    bool failQueue = false;
    bool isOpen = false;
    std::vector<std::vector<uint8_t>> memory;
    std::vector<Queued> queued;
  };

  explicit FakeLoopbackPort(State* state) : s_(state) {}

  OpenResult open(const std::string&, int width, int height, int) override {
    ++s_->opens;
    OpenResult r = s_->fallback;
    if (!s_->outcomes.empty()) {
      r = s_->outcomes.front();
      s_->outcomes.pop_front();
    }
    if (r.outcome == Outcome::opened) {
      s_->frameSize = static_cast<size_t>(width) * height * 2;
      s_->memory.assign(static_cast<size_t>(s_->buffers), std::vector<uint8_t>(s_->frameSize));
      s_->isOpen = true;
      s_->gone = false;
    }
    return r;
  }
  void close() override {
    if (s_->isOpen) ++s_->closes;
    s_->isOpen = false;
  }
  int bufferCount() const override { return static_cast<int>(s_->memory.size()); }
  uint8_t* buffer(int index) const override { return s_->memory[static_cast<size_t>(index)].data(); }
  size_t frameSize() const override { return s_->frameSize; }
  bool queue(int index, uint64_t stamp) override {
    if (s_->failQueue) return false;
    const auto& m = s_->memory[static_cast<size_t>(index)];
    s_->queued.push_back({index, stamp, std::vector<uint8_t>(m.begin(), m.begin() + 8)});
    return true;
  }
  Events events() override { return {s_->readers, s_->gone}; }
  void wait(std::chrono::steady_clock::time_point) override {}
  void wake() override {}

 private:
  State* s_;
};

}  // namespace tovrelle::test
