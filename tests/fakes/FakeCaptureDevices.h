#pragma once
// Scriptable stand-in for the capture service. Tests add and remove cameras
// (subscribers hear about it after the list changed), choose the authorization
// status and the answer to an access request, make input creation or adding
// inputs/outputs fail, and push frames that reach the output's callback queue
// with the same late-frame policy as the real backend: while a delivered frame
// is still waiting on the queue, a newer one replaces it instead of queueing.
//
// Every session the code under test creates is recorded (`sessions()`), so a
// test can see its preset, input, output, whether it runs and on which queue
// it was started.
#include <algorithm>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "platform/capture/CaptureDevices.h"

namespace tovrelle::test {

// A solid-colour 1280x720 BGRA frame.
inline frames::FrameBufferRef solidFrame(uint8_t b, uint8_t g, uint8_t r) {
  auto buffer = frames::makeFrameBuffer(frames::kFrameWidth, frames::kFrameHeight);
  for (int y = 0; y < buffer->height(); ++y) {
    uint8_t* row = buffer->row(y);
    for (int x = 0; x < buffer->width(); ++x) {
      row[4 * x] = b;
      row[4 * x + 1] = g;
      row[4 * x + 2] = r;
      row[4 * x + 3] = 255;
    }
  }
  return buffer;
}

class FakeCaptureDevices;

// What one session went through. Shared between the session object the code
// under test owns and the test, so it outlives the session.
struct FakeSessionRecord {
  mutable std::mutex mutex;
  int presetWidth = 0;
  int presetHeight = 0;
  std::shared_ptr<capture::DeviceInput> input;
  std::shared_ptr<capture::VideoOutput> output;
  int stopCount = 0;
  bool running = false;
  bool destroyed = false;
  // Whether `FakeCaptureDevices::captureQueue` was the current queue at start.
  std::optional<bool> startedOnCaptureQueue;
  // The frame waiting on the callback queue, if any.
  std::optional<capture::CapturedFrame> waiting;

  std::string deviceId() const {
    std::lock_guard lock(mutex);
    return input ? input->device().uniqueId : std::string();
  }
  bool isRunning() const { return read(running); }
  int stops() const { return read(stopCount); }
  bool isDestroyed() const { return read(destroyed); }

 private:
  template <typename T>
  T read(const T& field) const {
    std::lock_guard lock(mutex);
    return field;
  }
};

class FakeDeviceInput final : public capture::DeviceInput {
 public:
  explicit FakeDeviceInput(capture::DeviceInfo info) : info_(std::move(info)) {}
  const capture::DeviceInfo& device() const override { return info_; }

 private:
  capture::DeviceInfo info_;
};

class FakeCaptureSession final : public capture::CaptureSession {
 public:
  FakeCaptureSession(std::shared_ptr<FakeSessionRecord> record, bool canAddInput, bool canAddOutput,
                     std::shared_ptr<dispatch::Queue> captureQueue,
                     std::function<bool(const std::string&)> failsToStart)
      : record_(std::move(record)),
        canAddInput_(canAddInput),
        canAddOutput_(canAddOutput),
        captureQueue_(std::move(captureQueue)),
        failsToStart_(std::move(failsToStart)) {}

  ~FakeCaptureSession() override {
    std::lock_guard lock(record_->mutex);
    if (record_->running) {
      record_->running = false;
      ++record_->stopCount;
    }
    record_->waiting.reset();
    record_->destroyed = true;
  }

  void setPreset(int width, int height) override {
    std::lock_guard lock(record_->mutex);
    record_->presetWidth = width;
    record_->presetHeight = height;
  }
  bool canAddInput(const capture::DeviceInput&) const override { return canAddInput_; }
  void addInput(std::shared_ptr<capture::DeviceInput> input) override {
    std::lock_guard lock(record_->mutex);
    record_->input = std::move(input);
  }
  bool canAddOutput(const capture::VideoOutput&) const override { return canAddOutput_; }
  void addOutput(std::shared_ptr<capture::VideoOutput> output) override {
    std::lock_guard lock(record_->mutex);
    record_->output = std::move(output);
  }
  void startRunning() override {
    std::lock_guard lock(record_->mutex);
    if (captureQueue_) record_->startedOnCaptureQueue = captureQueue_->isCurrent();
    // Like the real backend, a session without input or output never runs,
    // nor one whose camera fails while it opens.
    record_->running = record_->input != nullptr && record_->output != nullptr &&
                       !(failsToStart_ && failsToStart_(record_->input->device().uniqueId));
  }
  void stopRunning() override {
    std::lock_guard lock(record_->mutex);
    ++record_->stopCount;
    record_->running = false;
    record_->waiting.reset();
  }
  bool isRunning() const override { return record_->isRunning(); }

 private:
  std::shared_ptr<FakeSessionRecord> record_;
  bool canAddInput_;
  bool canAddOutput_;
  std::shared_ptr<dispatch::Queue> captureQueue_;
  std::function<bool(const std::string&)> failsToStart_;
};

class FakeCaptureDevices final : public capture::CaptureDevices {
 public:
  using Handler = std::function<void(capture::DeviceEvent, const capture::DeviceInfo&)>;

  // ---- scripting ----

  // Adds a camera at the end of the list, then notifies subscribers.
  capture::DeviceInfo addDevice(const std::string& uniqueId, const std::string& name) {
    capture::DeviceInfo info{uniqueId, name};
    {
      std::lock_guard lock(mutex_);
      devices_.push_back(info);
    }
    notify(capture::DeviceEvent::connected, info);
    return info;
  }

  // Removes a camera, then notifies subscribers. Running sessions on it stop
  // on their own, as the real service's do when a camera node goes away: no
  // more frames, and the output's onInterrupted (if any) is queued on its
  // callback queue.
  void removeDevice(const std::string& uniqueId) {
    auto removed = deviceWithUniqueId(uniqueId);
    if (!removed) return;
    {
      std::lock_guard lock(mutex_);
      std::erase_if(devices_, [&](auto& d) { return d.uniqueId == uniqueId; });
    }
    notify(capture::DeviceEvent::disconnected, *removed);
    for (auto& record : sessions()) {
      std::shared_ptr<capture::VideoOutput> output;
      {
        std::lock_guard lock(record->mutex);
        if (!record->running || !record->input || record->input->device().uniqueId != uniqueId) continue;
        record->running = false;
        record->waiting.reset();
        output = record->output;
      }
      if (!output || !output->callbackQueue || !output->onInterrupted) continue;
      std::weak_ptr<FakeSessionRecord> weak = record;
      output->callbackQueue->async([weak, output] {
        auto rec = weak.lock();
        if (!rec || rec->isDestroyed() || rec->stops() > 0) return;  // stopped since: nothing reported
        output->onInterrupted("the camera went away");
      });
    }
  }

  // The camera the system names as its default (none: it names none).
  void setDefaultDevice(std::optional<std::string> uniqueId) { write(defaultId_, std::move(uniqueId)); }
  void setAuthorizationStatus(capture::AuthorizationStatus status) { write(status_, status); }
  // The answer requestAccess gives; none keeps the request pending until
  // `answerPendingRequests`. A granted answer also makes the status authorized,
  // a refused one denied, as the platform would.
  void setAccessAnswer(std::optional<bool> answer) { write(accessAnswer_, answer); }
  void answerPendingRequests(bool granted) {
    std::vector<std::function<void(bool)>> pending;
    {
      std::lock_guard lock(mutex_);
      pending.swap(pendingRequests_);
      if (!pending.empty())
        status_ = granted ? capture::AuthorizationStatus::authorized : capture::AuthorizationStatus::denied;
    }
    for (auto& completion : pending) completion(granted);
  }
  int accessRequestCount() const { return read(accessRequests_); }

  // makeInput for this id fails with `error` (empty string: succeeds again).
  void failInput(const std::string& uniqueId, const std::string& error) {
    std::lock_guard lock(mutex_);
    if (error.empty()) {
      inputErrors_.erase(uniqueId);
    } else {
      inputErrors_[uniqueId] = error;
    }
  }
  // startRunning on this camera returns without the session running (the
  // camera went away or offered nothing usable while it was being opened).
  void failStart(const std::string& uniqueId, bool fails = true) {
    std::lock_guard lock(mutex_);
    if (fails) {
      failStart_.insert(uniqueId);
    } else {
      failStart_.erase(uniqueId);
    }
  }
  // Sessions created from now on refuse inputs / outputs.
  void setCanAddInput(bool can) { write(canAddInput_, can); }
  void setCanAddOutput(bool can) { write(canAddOutput_, can); }
  // The queue startRunning is expected on; each record notes whether it was current.
  void setCaptureQueue(std::shared_ptr<dispatch::Queue> queue) { write(captureQueue_, std::move(queue)); }

  std::vector<std::shared_ptr<FakeSessionRecord>> sessions() const { return read(sessions_); }
  std::vector<std::shared_ptr<FakeSessionRecord>> runningSessions() const {
    std::vector<std::shared_ptr<FakeSessionRecord>> out;
    for (auto& s : sessions())
      if (s->isRunning()) out.push_back(s);
    return out;
  }
  int makeInputCount() const { return read(makeInputs_); }

  // A solid-colour frame as a sample.
  static capture::CapturedFrame makeFrame(uint64_t sequence, uint8_t b = 0, uint8_t g = 0, uint8_t r = 0) {
    auto buffer = solidFrame(b, g, r);
    capture::CapturedFrame sample;
    sample.image = frames::ConstFrameBufferRef(buffer);
    sample.presentationTimeNs = frames::hostTimeNanos();
    sample.sequence = sequence;
    return sample;
  }

  // Hands a frame to every running session on `uniqueId` whose camera is
  // still attached. The frame reaches the output's callback queue; if an
  // earlier frame is still waiting there it is replaced (a late frame).
  // Returns how many sessions took it.
  int pushFrame(const std::string& uniqueId, capture::CapturedFrame sample) {
    if (!deviceWithUniqueId(uniqueId)) return 0;
    int taken = 0;
    for (auto& record : sessions()) {
      std::shared_ptr<capture::VideoOutput> output;
      bool post = false;
      {
        std::lock_guard lock(record->mutex);
        if (!record->running || !record->input || record->input->device().uniqueId != uniqueId) continue;
        output = record->output;
        if (!output || !output->callbackQueue || !output->onFrame) continue;
        ++taken;
        post = !record->waiting || !output->alwaysDiscardsLateVideoFrames;  // else it replaces the waiting one
        record->waiting = sample;
      }
      if (!post) continue;
      std::weak_ptr<FakeSessionRecord> weak = record;
      output->callbackQueue->async([weak, output] {
        auto rec = weak.lock();
        if (!rec) return;
        std::optional<capture::CapturedFrame> frame;
        {
          std::lock_guard lock(rec->mutex);
          if (!rec->running) return;  // stopped: no callback starts
          frame.swap(rec->waiting);
          if (!frame) return;
        }
        output->onFrame(*frame);
      });
    }
    return taken;
  }

  // ---- CaptureDevices ----

  std::vector<capture::DeviceInfo> devices() override { return read(devices_); }
  std::optional<capture::DeviceInfo> deviceWithUniqueId(const std::string& uniqueId) override {
    for (auto& d : devices())
      if (d.uniqueId == uniqueId) return d;
    return std::nullopt;
  }
  std::optional<capture::DeviceInfo> defaultDevice() override {
    auto id = read(defaultId_);
    return id ? deviceWithUniqueId(*id) : std::nullopt;
  }
  std::unique_ptr<capture::Subscription> subscribe(Handler handler) override {
    std::lock_guard lock(mutex_);
    auto id = nextSubscription_++;
    handlers_[id] = std::make_shared<Handler>(std::move(handler));
    return std::make_unique<Token>(this, id, alive_);
  }
  capture::AuthorizationStatus authorizationStatus() override { return read(status_); }
  void requestAccess(std::function<void(bool)> completion) override {
    std::optional<bool> answer;
    {
      std::lock_guard lock(mutex_);
      ++accessRequests_;
      answer = accessAnswer_;
      if (!answer) {
        pendingRequests_.push_back(std::move(completion));
        return;
      }
      status_ = *answer ? capture::AuthorizationStatus::authorized : capture::AuthorizationStatus::denied;
    }
    completion(*answer);
  }
  capture::InputResult makeInput(const capture::DeviceInfo& device) override {
    const bool attached = deviceWithUniqueId(device.uniqueId).has_value();
    std::lock_guard lock(mutex_);
    ++makeInputs_;
    if (auto it = inputErrors_.find(device.uniqueId); it != inputErrors_.end()) return {nullptr, it->second};
    if (!attached) return {nullptr, "camera " + device.uniqueId + " is not attached"};
    return {std::make_shared<FakeDeviceInput>(device), ""};
  }
  std::unique_ptr<capture::CaptureSession> makeSession() override {
    std::lock_guard lock(mutex_);
    auto record = sessions_.emplace_back(std::make_shared<FakeSessionRecord>());
    auto failsToStart = [this, alive = std::weak_ptr<bool>(alive_)](const std::string& id) {
      if (auto owner = alive.lock(); !owner || !*owner) return false;  // the fake is gone
      std::lock_guard lock(mutex_);
      return failStart_.count(id) > 0;
    };
    return std::make_unique<FakeCaptureSession>(record, canAddInput_, canAddOutput_, captureQueue_, failsToStart);
  }

  ~FakeCaptureDevices() override { *alive_ = false; }

 private:
  struct Token final : capture::Subscription {
    Token(FakeCaptureDevices* owner, int id, std::shared_ptr<bool> alive) : owner_(owner), id_(id), alive_(alive) {}
    ~Token() override {
      if (!*alive_) return;
      std::lock_guard lock(owner_->mutex_);
      owner_->handlers_.erase(id_);
    }
    FakeCaptureDevices* owner_;
    int id_;
    std::shared_ptr<bool> alive_;
  };

  template <typename T>
  T read(const T& field) const {
    std::lock_guard lock(mutex_);
    return field;
  }
  template <typename T, typename V>
  void write(T& field, V&& value) {
    std::lock_guard lock(mutex_);
    field = std::forward<V>(value);
  }

  void notify(capture::DeviceEvent event, const capture::DeviceInfo& info) {
    std::vector<std::shared_ptr<Handler>> handlers;
    {
      std::lock_guard lock(mutex_);
      for (auto& [id, h] : handlers_) handlers.push_back(h);
    }
    for (auto& h : handlers) (*h)(event, info);
  }

  mutable std::mutex mutex_;
  std::vector<capture::DeviceInfo> devices_;
  std::optional<std::string> defaultId_;
  std::map<int, std::shared_ptr<Handler>> handlers_;
  int nextSubscription_ = 1;
  std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
  capture::AuthorizationStatus status_ = capture::AuthorizationStatus::authorized;
  std::optional<bool> accessAnswer_ = true;
  std::vector<std::function<void(bool)>> pendingRequests_;
  int accessRequests_ = 0;
  std::map<std::string, std::string> inputErrors_;
  std::set<std::string> failStart_;
  bool canAddInput_ = true;
  bool canAddOutput_ = true;
  std::shared_ptr<dispatch::Queue> captureQueue_;
  std::vector<std::shared_ptr<FakeSessionRecord>> sessions_;
  int makeInputs_ = 0;
};

}  // namespace tovrelle::test
