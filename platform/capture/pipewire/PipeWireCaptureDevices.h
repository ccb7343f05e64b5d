#pragma once
#include <memory>

#include "platform/capture/CaptureDevices.h"

namespace tovrelle::capture {

// The capture service on PipeWire.
//
// Cameras are the registry's nodes with media.class "Video/Source" and
// media.role "Camera" (screen casts are video sources without that role).
// A camera's unique identifier is its node.name: the session manager names
// device nodes after the device's place on the bus, so the name survives a
// restart of either side, and our own node is "Tovrelle". The name shown is
// node.description, else node.nick, else node.name. Connect and disconnect
// notifications are posted on a queue of their own once the list has changed;
// when PipeWire goes away every camera is announced gone and the service
// reconnects every second.
//
// makeInput reads what the node offers and picks the best format for a
// 1280x720 picture; a session reads the node on the service's one PipeWire
// connection and thread and takes each frame out of the camera's buffer there
// in the camera's own layout (MJPEG decoded to its planes), so the callback
// only ever sees the newest frame and converts it once, where it is shown.
// When that connection drops, running sessions are interrupted.
//
// Inside a Flatpak sandbox the Camera portal grants access and hands out the
// PipeWire connection; nothing is read before access is granted.
//
// Thread-safe: the camera list and the subscriptions are under a lock; the
// registry, the streams and frame taking live on the one PipeWire loop
// thread, which other threads reach only through the loop.
std::shared_ptr<CaptureDevices> makePipeWireCaptureDevices();

}  // namespace tovrelle::capture
