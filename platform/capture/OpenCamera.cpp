#include "platform/capture/OpenCamera.h"

namespace tovrelle::capture {

OpenedCamera openCamera(CaptureDevices& devices, const DeviceInfo& device, CameraRequest request) {
  OpenedCamera result;
  using Failure = OpenedCamera::Failure;
  auto fail = [&](Failure failure, std::string why) {
    result.failure = failure;
    result.error = std::move(why);
    if (failure == Failure::input || failure == Failure::stopped)
      result.deviceGone = !devices.deviceWithUniqueId(device.uniqueId).has_value();
    return std::move(result);
  };
  std::shared_ptr<CaptureSession> session = devices.makeSession();
  if (!session) return fail(Failure::noSession, "capture sessions are unavailable");
  session->setPreset(request.width, request.height);
  InputResult input = devices.makeInput(device);
  if (!input.input) return fail(Failure::input, input.error);
  if (!session->canAddInput(*input.input))
    return fail(Failure::refused, "cannot add input for " + device.localizedName);
  session->addInput(input.input);

  auto output = std::make_shared<VideoOutput>();
  output->pixelFormat = frames::PixelFormat::bgra;
  output->alwaysDiscardsLateVideoFrames = true;
  output->callbackQueue = std::move(request.queue);
  output->onFrame = std::move(request.onFrame);
  output->onInterrupted = std::move(request.onInterrupted);
  if (!session->canAddOutput(*output)) return fail(Failure::refused, "cannot add output");
  session->addOutput(output);
  session->startRunning();
  if (!session->isRunning()) {
    session->stopRunning();
    return fail(Failure::stopped, "the camera stopped while it was being opened");
  }
  result.session = std::move(session);
  result.output = std::move(output);
  return result;
}

}  // namespace tovrelle::capture
