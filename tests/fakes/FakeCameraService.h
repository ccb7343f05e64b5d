#pragma once
// A scriptable stand-in for the camera service backend. Each call either
// follows an answer scripted beforehand (succeed, fail with a code, report
// what is installed; at once or after a delay) or waits for the test to
// answer it by hand; a call without either never answers. Answers arrive on
// the queue the fake was made with, as the real backend delivers them.
#include <deque>
#include <memory>
#include <optional>
#include <vector>

#include "platform/dispatch/Dispatch.h"
#include "platform/userservice/CameraService.h"

namespace tovrelle::test {

class FakeCameraService final : public userservice::CameraService {
 public:
  enum class Kind { install, remove, look };
  struct Call {
    Kind kind;
    Done done;      // install, remove
    Looked looked;  // look
  };
  using CallPtr = std::shared_ptr<Call>;

  struct Answer {
    std::optional<int> errorCode;                 // none: it worked
    std::optional<userservice::Installed> found;  // for looks
    dispatch::Duration delay{};
  };
  static Answer succeed(dispatch::Duration delay = {}) { return {std::nullopt, std::nullopt, delay}; }
  static Answer fail(int code, dispatch::Duration delay = {}) { return {code, std::nullopt, delay}; }
  static Answer found(userservice::Installed installed, dispatch::Duration delay = {}) {
    return {std::nullopt, std::move(installed), delay};
  }
  // What a look finds for a copy of this version, running or not.
  static userservice::Installed copy(const std::string& shortVersion, const std::string& buildNumber, bool running) {
    return {userservice::ServiceVersion{shortVersion, buildNumber}, running};
  }
  static userservice::Installed nothing() { return {}; }

  explicit FakeCameraService(std::shared_ptr<dispatch::Queue> queue) : queue_(std::move(queue)) {}

  // Answers for the next calls of each kind, used in call order.
  void scriptNextInstall(Answer answer) { installScripts_.push_back(answer); }
  void scriptNextRemoval(Answer answer) { removalScripts_.push_back(answer); }
  void scriptNextLook(Answer answer) { lookScripts_.push_back(answer); }
  // Used for every look once the queued answers run out.
  void scriptAllLooks(Answer answer) { defaultLook_ = answer; }

  // ---- CameraService

  void install(Done done) override { submit(std::make_shared<Call>(Call{Kind::install, std::move(done), {}})); }
  void remove(Done done) override { submit(std::make_shared<Call>(Call{Kind::remove, std::move(done), {}})); }
  void look(Looked done) override { submit(std::make_shared<Call>(Call{Kind::look, {}, std::move(done)})); }

  // ---- answering by hand (delivered on the queue)

  void succeed(const CallPtr& call) { answer(call, Answer{}); }
  void fail(const CallPtr& call, int code) { answer(call, Answer{code, std::nullopt, {}}); }
  void found(const CallPtr& call, userservice::Installed installed) {
    answer(call, Answer{std::nullopt, std::move(installed), {}});
  }

  // ---- what was asked

  std::vector<CallPtr> calls(Kind kind) const {
    std::vector<CallPtr> out;
    for (auto& c : calls_)
      if (c->kind == kind) out.push_back(c);
    return out;
  }
  size_t callCount() const { return calls_.size(); }
  size_t installCount() const { return calls(Kind::install).size(); }
  size_t removalCount() const { return calls(Kind::remove).size(); }
  size_t lookCount() const { return calls(Kind::look).size(); }
  CallPtr lastInstall() const { return last(Kind::install); }
  CallPtr lastRemoval() const { return last(Kind::remove); }
  CallPtr lastLook() const { return last(Kind::look); }

 private:
  void submit(CallPtr call) {
    calls_.push_back(call);
    auto& scripts = call->kind == Kind::install  ? installScripts_
                    : call->kind == Kind::remove ? removalScripts_
                                                 : lookScripts_;
    std::optional<Answer> script;
    if (!scripts.empty()) {
      script = scripts.front();
      scripts.pop_front();
    } else if (call->kind == Kind::look) {
      script = defaultLook_;
    }
    if (script) answer(call, *script);
  }

  void answer(const CallPtr& call, Answer answer) {
    auto deliver = [call, answer] {
      std::optional<userservice::Error> error;
      if (answer.errorCode) error = userservice::makeError(*answer.errorCode);
      if (call->kind == Kind::look) {
        if (call->looked) call->looked(error ? std::nullopt : answer.found, error);
      } else if (call->done) {
        call->done(error);
      }
    };
    if (answer.delay.count() == 0) {
      queue_->async(deliver);
    } else {
      timers_.push_back(queue_->schedule(answer.delay, dispatch::Duration::zero(), deliver));
    }
  }

  CallPtr last(Kind kind) const {
    auto all = calls(kind);
    return all.empty() ? nullptr : all.back();
  }

  std::shared_ptr<dispatch::Queue> queue_;
  std::vector<CallPtr> calls_;
  std::deque<Answer> installScripts_;
  std::deque<Answer> removalScripts_;
  std::deque<Answer> lookScripts_;
  std::optional<Answer> defaultLook_;
  std::vector<std::shared_ptr<dispatch::Timer>> timers_;
};

}  // namespace tovrelle::test
