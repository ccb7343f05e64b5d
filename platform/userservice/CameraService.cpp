#include "platform/userservice/CameraService.h"

namespace tovrelle::userservice {

std::string describeErrorCode(int code) {
  switch (code) {
    case kErrorUnknown: return "An unknown error occurred.";
    case kErrorServiceNotFound: return "The app does not contain the camera service.";
    case kErrorServiceMissingIdentifier: return "The camera service has no identifier.";
    case kErrorValidationFailed: return "The camera service failed validation.";
    case kErrorRefused: return "The service manager refused the camera service.";
    case kErrorNoCamera: return "The camera service published no camera.";
    case kErrorCameraTaken: return "Another program already publishes the camera.";
    default:
      return "The operation could not be completed (" + std::string(kErrorDomain) + " error " + std::to_string(code) +
             ").";
  }
}

Error makeError(int code, std::string description) {
  if (description.empty()) description = describeErrorCode(code);
  return Error{code, std::move(description)};
}

}  // namespace tovrelle::userservice
