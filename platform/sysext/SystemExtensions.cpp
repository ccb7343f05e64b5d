#include "platform/sysext/SystemExtensions.h"

namespace tovrelle::sysext {

std::string describeErrorCode(int code) {
  switch (code) {
    case kErrorUnknown: return "An unknown error occurred.";
    case kErrorMissingEntitlement: return "The app lacks the entitlement to manage system extensions.";
    case kErrorUnsupportedParentBundleLocation: return "The app is not in a location that may install extensions.";
    case kErrorExtensionNotFound: return "The app does not contain the requested extension.";
    case kErrorExtensionMissingIdentifier: return "The extension has no bundle identifier.";
    case kErrorDuplicateExtensionIdentifer: return "More than one extension has this identifier.";
    case kErrorUnknownExtensionCategory: return "The extension is of an unknown category.";
    case kErrorCodeSignatureInvalid: return "The extension's code signature is invalid.";
    case kErrorValidationFailed: return "The extension failed validation.";
    case kErrorForbiddenBySystemPolicy: return "The system's policy forbids this extension.";
    case kErrorRequestCanceled: return "The request was canceled.";
    case kErrorRequestSuperseded: return "A newer request replaced this one.";
    case kErrorAuthorizationRequired: return "The extension needs authorization.";
    case kErrorNoCamera: return "The camera service published no camera.";
    case kErrorCameraTaken: return "Another program already publishes the camera.";
    default: return "The operation could not be completed (" + std::string(kErrorDomain) + " error " +
                    std::to_string(code) + ").";
  }
}

Error makeError(int code, std::string description) {
  if (description.empty()) description = describeErrorCode(code);
  return Error{kErrorDomain, code, std::move(description)};
}

}  // namespace tovrelle::sysext
