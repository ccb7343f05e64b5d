#pragma once
// A stand-in for the video device service: looks answer with the report the
// test sets, on the queue it gives (or at once); loads wait until the test
// ends them by hand, as a prompt waits for the user.
#include <functional>
#include <memory>
#include <vector>

#include "platform/dispatch/Dispatch.h"
#include "platform/videodevice/VideoDevices.h"

namespace tovrelle::test {

class FakeVideoDevices final : public videodevice::VideoDevices {
 public:
  explicit FakeVideoDevices(std::shared_ptr<dispatch::Queue> queue = nullptr) : queue_(std::move(queue)) {}

  videodevice::Report report;
  int looks = 0;

  void look(std::function<void(videodevice::Report)> done) override {
    ++looks;
    deliver([done, r = report] { done(r); });
  }
  void loadModule(std::function<void(videodevice::LoadResult)> done) override { pendingLoads_.push_back(done); }

  size_t pendingLoads() const { return pendingLoads_.size(); }
  // Ends the oldest load.
  void finishLoad(videodevice::LoadOutcome outcome, std::string message = {}) {
    if (pendingLoads_.empty()) return;
    auto done = pendingLoads_.front();
    pendingLoads_.erase(pendingLoads_.begin());
    deliver([done, outcome, message] { done({outcome, message}); });
  }

 private:
  void deliver(std::function<void()> task) {
    if (queue_)
      queue_->async(std::move(task));
    else
      task();
  }
  std::shared_ptr<dispatch::Queue> queue_;
  std::vector<std::function<void(videodevice::LoadResult)>> pendingLoads_;
};

// Reports of the situations a user meets.
namespace video_reports {

inline videodevice::Report moduleMissing() { return {}; }

inline videodevice::Report notLoaded() {
  videodevice::Report r;
  r.moduleInstalled = true;
  return r;
}

inline videodevice::Report streaming(const std::string& node, videodevice::ServiceOutput output) {
  videodevice::Report r;
  r.moduleInstalled = r.moduleLoaded = true;
  r.devices = {{node, "Tovrelle", true}};
  r.serviceRunning = true;
  r.output = output;
  r.outputDevice = node;
  return r;
}

inline videodevice::Report othersOnly(std::vector<std::string> labels) {
  videodevice::Report r;
  r.moduleInstalled = r.moduleLoaded = true;
  int n = 0;
  for (auto& label : labels) r.devices.push_back({"/dev/video" + std::to_string(n++), label, true});
  r.serviceRunning = true;
  r.output = videodevice::ServiceOutput::noDevice;
  return r;
}

}  // namespace video_reports
}  // namespace tovrelle::test
