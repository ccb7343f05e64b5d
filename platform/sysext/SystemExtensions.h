#pragma once
// The system-extension machinery the host app talks to: activation and
// properties requests for an extension identifier, answered through a
// delegate on the queue the request was made with. The installer depends on
// this interface only; the Linux backend and the test fake implement it.
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/dispatch/Dispatch.h"

namespace tovrelle::sysext {

// The domain of the camera service's errors, shown before their code.
inline constexpr const char* kErrorDomain = "tovrelle.camera-service";

// Error codes of kErrorDomain.
enum ErrorCode : int {
  kErrorUnknown = 1,
  kErrorMissingEntitlement = 2,
  kErrorUnsupportedParentBundleLocation = 3,
  kErrorExtensionNotFound = 4,
  kErrorExtensionMissingIdentifier = 5,
  kErrorDuplicateExtensionIdentifer = 6,
  kErrorUnknownExtensionCategory = 7,
  kErrorCodeSignatureInvalid = 8,
  kErrorValidationFailed = 9,
  kErrorForbiddenBySystemPolicy = 10,
  kErrorRequestCanceled = 11,
  kErrorRequestSuperseded = 12,
  kErrorAuthorizationRequired = 13,
  // The service runs (or was started) but no camera of it appeared.
  kErrorNoCamera = 14,
  // Another program already publishes a camera of the same name.
  kErrorCameraTaken = 15,
};

// Request results.
inline constexpr int kRequestCompleted = 0;
inline constexpr int kRequestWillCompleteAfterReboot = 1;

enum class ReplacementAction { cancel, replace };

struct Error {
  std::string domain;
  int code = 0;
  std::string localizedDescription;
};

// An error of kErrorDomain; an empty description gets the standard one.
Error makeError(int code, std::string description = {});
// The standard description of a kErrorDomain code.
std::string describeErrorCode(int code);

// One installed copy of an extension.
struct ExtensionProperties {
  std::string bundleIdentifier;
  std::string bundleVersion;       // "CFBundleVersion"
  std::string bundleShortVersion;  // "CFBundleShortVersionString"
  bool isEnabled = false;
  bool isAwaitingUserApproval = false;
  bool isUninstalling = false;
};

class Request;

// Callbacks of a request, delivered on the request's queue.
class RequestDelegate {
 public:
  virtual ~RequestDelegate() = default;
  virtual ReplacementAction actionForReplacingExtension(Request& request, const ExtensionProperties& existing,
                                                        const ExtensionProperties& replacement) = 0;
  virtual void requestNeedsUserApproval(Request& request) = 0;
  virtual void requestDidFinishWithResult(Request& request, int result) = 0;
  virtual void requestDidFailWithError(Request& request, const Error& error) = 0;
  virtual void requestFoundProperties(Request& request, const std::vector<ExtensionProperties>& properties) = 0;
};

class Request {
 public:
  enum class Kind { activation, properties, deactivation };

  Request(Kind kind, std::string identifier, std::shared_ptr<dispatch::Queue> queue)
      : kind_(kind), identifier_(std::move(identifier)), queue_(std::move(queue)) {}
  virtual ~Request() = default;
  Request(const Request&) = delete;
  Request& operator=(const Request&) = delete;

  Kind kind() const { return kind_; }
  const std::string& identifier() const { return identifier_; }
  const std::shared_ptr<dispatch::Queue>& queue() const { return queue_; }

  // The delegate is held weakly: a request never keeps its delegate alive.
  void setDelegate(std::weak_ptr<RequestDelegate> delegate) {
    std::lock_guard lock(mutex_);
    delegate_ = std::move(delegate);
  }
  std::shared_ptr<RequestDelegate> delegate() const {
    std::lock_guard lock(mutex_);
    return delegate_.lock();
  }

 private:
  Kind kind_;
  std::string identifier_;
  std::shared_ptr<dispatch::Queue> queue_;
  mutable std::mutex mutex_;
  std::weak_ptr<RequestDelegate> delegate_;
};

class ExtensionManager {
 public:
  virtual ~ExtensionManager() = default;
  // Installs or replaces the extension with `identifier` that ships inside the
  // app bundle.
  virtual std::shared_ptr<Request> activationRequest(const std::string& identifier,
                                                     std::shared_ptr<dispatch::Queue> queue) {
    return std::make_shared<Request>(Request::Kind::activation, identifier, std::move(queue));
  }
  // Reports the installed copies through requestFoundProperties, then finishes.
  virtual std::shared_ptr<Request> propertiesRequest(const std::string& identifier,
                                                     std::shared_ptr<dispatch::Queue> queue) {
    return std::make_shared<Request>(Request::Kind::properties, identifier, std::move(queue));
  }
  // Stops and removes every installed copy; finishes once none runs.
  virtual std::shared_ptr<Request> deactivationRequest(const std::string& identifier,
                                                       std::shared_ptr<dispatch::Queue> queue) {
    return std::make_shared<Request>(Request::Kind::deactivation, identifier, std::move(queue));
  }
  virtual void submitRequest(std::shared_ptr<Request> request) = 0;
};

}  // namespace tovrelle::sysext
