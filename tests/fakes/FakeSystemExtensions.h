#pragma once
// A scriptable stand-in for the system-extension machinery. Each submitted
// request either follows a script given beforehand (answer, answer late, fail
// with a code, be superseded) or waits for the test to answer it by hand;
// a request without either never answers. Callbacks arrive on the request's
// queue, as the real machinery delivers them.
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

#include "platform/sysext/SystemExtensions.h"

namespace tovrelle::test {

class FakeExtensionManager final : public sysext::ExtensionManager {
 public:
  using RequestPtr = std::shared_ptr<sysext::Request>;
  struct Step {
    dispatch::Duration delay{};
    std::function<void(FakeExtensionManager&, const RequestPtr&)> action;
  };
  using Script = std::vector<Step>;

  // ---- script steps

  static Step found(std::vector<sysext::ExtensionProperties> properties, dispatch::Duration delay = {}) {
    return {delay, [properties](FakeExtensionManager& m, const RequestPtr& r) { m.foundProperties(r, properties); }};
  }
  static Step finish(int result, dispatch::Duration delay = {}) {
    return {delay, [result](FakeExtensionManager& m, const RequestPtr& r) { m.finish(r, result); }};
  }
  static Step fail(int code, dispatch::Duration delay = {}) {
    return {delay, [code](FakeExtensionManager& m, const RequestPtr& r) { m.fail(r, code); }};
  }
  static Step needsApproval(dispatch::Duration delay = {}) {
    return {delay, [](FakeExtensionManager& m, const RequestPtr& r) { m.needsUserApproval(r); }};
  }
  // A properties answer: the copies, then the finish callback.
  static Script answer(std::vector<sysext::ExtensionProperties> properties, dispatch::Duration delay = {}) {
    return {found(std::move(properties), delay), finish(sysext::kRequestCompleted, delay)};
  }
  static Script never() { return {}; }

  // Scripts for the next requests of each kind, used in submission order.
  void scriptNextActivation(Script script) { activationScripts_.push_back(std::move(script)); }
  void scriptNextDeactivation(Script script) { deactivationScripts_.push_back(std::move(script)); }
  void scriptNextProperties(Script script) { propertiesScripts_.push_back(std::move(script)); }
  // Used for every request of the kind once the queued scripts run out.
  void scriptAllProperties(Script script) { defaultPropertiesScript_ = std::move(script); }

  // ---- ExtensionManager

  void submitRequest(RequestPtr request) override {
    submitted_.push_back(request);
    auto& scripts = request->kind() == sysext::Request::Kind::activation     ? activationScripts_
                    : request->kind() == sysext::Request::Kind::deactivation ? deactivationScripts_
                                                                             : propertiesScripts_;
    std::optional<Script> script;
    if (!scripts.empty()) {
      script = std::move(scripts.front());
      scripts.pop_front();
    } else if (request->kind() == sysext::Request::Kind::properties && defaultPropertiesScript_) {
      script = *defaultPropertiesScript_;
    }
    if (!script) return;
    for (auto& step : *script) {
      auto action = step.action;
      auto run = [this, request, action] { action(*this, request); };
      // Zero-delay steps are queued in order; later ones wait on the clock.
      if (step.delay.count() == 0) {
        request->queue()->async(run);
      } else {
        timers_.push_back(request->queue()->schedule(step.delay, dispatch::Duration::zero(), run));
      }
    }
  }

  // ---- answering by hand (delivered on the request's queue)

  void foundProperties(const RequestPtr& r, std::vector<sysext::ExtensionProperties> properties) {
    deliver(r, [properties](sysext::RequestDelegate& d, sysext::Request& q) { d.requestFoundProperties(q, properties); });
  }
  void finish(const RequestPtr& r, int result) {
    deliver(r, [result](sysext::RequestDelegate& d, sysext::Request& q) { d.requestDidFinishWithResult(q, result); });
  }
  void fail(const RequestPtr& r, int code) {
    const sysext::Error error = sysext::makeError(code);
    deliver(r, [error](sysext::RequestDelegate& d, sysext::Request& q) { d.requestDidFailWithError(q, error); });
  }
  void supersede(const RequestPtr& r) { fail(r, sysext::kErrorRequestSuperseded); }
  void needsUserApproval(const RequestPtr& r) {
    deliver(r, [](sysext::RequestDelegate& d, sysext::Request& q) { d.requestNeedsUserApproval(q); });
  }

  // ---- what was asked

  const std::vector<RequestPtr>& submitted() const { return submitted_; }
  std::vector<RequestPtr> requests(sysext::Request::Kind kind) const {
    std::vector<RequestPtr> out;
    for (auto& r : submitted_)
      if (r->kind() == kind) out.push_back(r);
    return out;
  }
  size_t activationCount() const { return requests(sysext::Request::Kind::activation).size(); }
  size_t propertiesCount() const { return requests(sysext::Request::Kind::properties).size(); }
  RequestPtr lastActivation() const { return last(sysext::Request::Kind::activation); }
  RequestPtr lastProperties() const { return last(sysext::Request::Kind::properties); }

 private:
  RequestPtr last(sysext::Request::Kind kind) const {
    auto all = requests(kind);
    return all.empty() ? nullptr : all.back();
  }
  static void deliver(const RequestPtr& r, std::function<void(sysext::RequestDelegate&, sysext::Request&)> call) {
    r->queue()->async([r, call] {
      if (auto d = r->delegate()) call(*d, *r);
    });
  }

  std::vector<RequestPtr> submitted_;
  std::deque<Script> activationScripts_;
  std::deque<Script> deactivationScripts_;
  std::deque<Script> propertiesScripts_;
  std::optional<Script> defaultPropertiesScript_;
  std::vector<std::shared_ptr<dispatch::Timer>> timers_;
};

}  // namespace tovrelle::test
