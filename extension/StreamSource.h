#pragma once
// The frame engine behind the one stream of the virtual camera. While a client
// has the stream started it checks the data folder whenever the folder watcher
// reports a change, and twice a second in any case: it judges from the
// heartbeat whether the host app is alive, reads "state.json", and when that
// differs from what it shows, tears the current frame source down and starts
// another. Every source ends in one frame timer (or a capture session) that
// pushes frames into the stream.
//
// Thread-bound (the main queue), with hand-offs to four other queues: the
// client queue starts and stops the stream, the timer and capture queues
// send frames, the image queue decodes. What they share is atomic or under
// its own lock, as the fields below say.
#include <atomic>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "extension/ImageSource.h"
#include "platform/camera/VirtualCamera.h"
#include "platform/capture/CaptureDevices.h"
#include "platform/dispatch/Dispatch.h"
#include "platform/frames/FrameBuffer.h"
#include "platform/watch/FolderWatcher.h"
#include "shared/CameraState.h"
#include "shared/Uuid.h"

namespace tovrelle::extension {

inline constexpr const char* kLogSubsystem = "ossel.tovrelle";
inline constexpr const char* kLogCategory = "StreamSource";
inline constexpr const char* kTimerQueueLabel = "ossel.tovrelle.timerqueue";
inline constexpr const char* kCaptureQueueLabel = "ossel.tovrelle.capture";
inline constexpr const char* kImageQueueLabel = "ossel.tovrelle.images";

// Every frame timer fires at this interval, whatever a client sets.
inline constexpr camera::FrameTime kFrameDuration = camera::frameInterval(30);
inline constexpr double kStateCheckInterval = 0.5;
// Checks prompted by change notifications are at least this far apart, so a
// burst of writes is read a bounded number of times (the last write still
// wins: a change inside the spacing is read when it ends).
inline constexpr double kNotifiedCheckSpacing = 0.05;
// A state file failure that persists is said again every this many polls (10 min).
inline constexpr int kStateFailureRepeatPolls = 1200;
// The stream keeps its own clock in camera mode: a camera silent this long
// has its last frame repeated, and once silent kCameraStallAfter the stream
// shows black until it sends again.
inline constexpr double kCameraQuietAfter = 0.2;
inline constexpr double kCameraStallAfter = 1.0;

// What the passed-through camera does, as a device property peers read
// ("tovrelle.camera.state"): none outside camera mode, starting while it
// opens, live, stalled (attached but silent), missing (not attached, or gone),
// failed (attached but cannot be opened).
inline constexpr const char* kCameraStateProperty = "tovrelle.camera.state";
enum class CameraFeed { none, starting, live, stalled, missing, failed };
const char* cameraFeedName(CameraFeed feed);

// The stream object the device carries (name, fixed identifier, direction
// source, clock host time).
struct StreamObject {
  std::string localizedName;
  Uuid streamID;
};

class StreamSource : public std::enable_shared_from_this<StreamSource> {
 public:
  // What the stream source works with. Tests pass fakes; unset queues are
  // created with their labels, unset loaders default to the real ones.
  struct Dependencies {
    std::shared_ptr<dispatch::Queue> mainQueue;     // runs the poll; required
    std::shared_ptr<dispatch::Queue> timerQueue;    // "ossel.tovrelle.timerqueue"
    std::shared_ptr<dispatch::Queue> captureQueue;  // "ossel.tovrelle.capture"
    std::shared_ptr<dispatch::Queue> imageQueue;    // "ossel.tovrelle.images": pictures decode here
    std::shared_ptr<dispatch::Queue> clientQueue;   // start/stop requests arrive here
    std::shared_ptr<camera::VirtualCamera> sink;    // where frames go; required
    std::shared_ptr<capture::CaptureDevices> captureDevices;
    // Tells of data folder changes as they happen; none leaves the poll alone.
    std::shared_ptr<watch::FolderWatcher> folderWatcher;
    std::function<frames::FrameBufferRef(int, int)> makeCameraOffFrame;
    std::function<frames::FrameBufferRef(int, int)> makeNotRunningFrame;
    std::function<std::shared_ptr<AnimatedImage>(const std::filesystem::path&)> loadAnimatedImage;
    std::function<std::optional<StillImage>(const std::filesystem::path&)> loadStillImage;
    // The wall clock the heartbeat's modification date is compared with.
    std::function<std::chrono::system_clock::time_point()> wallClock;
    // The host clock frames are stamped with (ns, CLOCK_MONOTONIC).
    std::function<uint64_t()> hostClock;
  };

  // None when the stream format cannot be built: the error line "Failed to
  // create stream format" is written and the caller must stop the process.
  static std::shared_ptr<StreamSource> create(const std::string& localizedName, Dependencies deps);

  ~StreamSource();
  StreamSource(const StreamSource&) = delete;
  StreamSource& operator=(const StreamSource&) = delete;

  // Stream source operations (client queue).
  const std::optional<StreamObject>& streamObject() const { return stream; }
  std::vector<camera::StreamFormat> formats() const { return {_streamFormat}; }
  bool startStream();
  bool stopStream();

  // Start and stop as the device layer calls them: holding this weakly.
  camera::StreamHandlers handlers();

  const camera::VirtualCamera& sink() const { return *deps.sink; }
  bool streaming() const { return isStreaming.load(); }

 private:
  StreamSource(const std::string& localizedName, Dependencies deps, camera::StreamFormat format);

  // A picture drawn once and cached with its outcome: not built, built, or
  // unavailable for good.
  struct CachedFrame {
    bool built = false;
    frames::ConstFrameBufferRef buffer;  // none when built but unavailable
  };

  void startStreamingInternal();
  void stopStreamingInternal();
  void beginStreaming();

  void checkState();
  void startFolderWatch();
  void stopFolderWatch();
  void folderChanged();
  bool isHostRunning() const;
  CameraState readState();
  void reportStateFailure(const std::string& line);
  void stopAllSources();

  void startBlackScreenTimer();
  void startCameraOffTimer();
  void startNotRunningTimer();
  void startImageTimer();
  void startAnimatedImageTimer(std::shared_ptr<AnimatedImage> animation);
  void startFrameTimer(const char* firstFrameLine, std::function<frames::ConstFrameBufferRef()> nextFrame);
  frames::ConstFrameBufferRef cachedFrame(CachedFrame& cache,
                                          const std::function<frames::FrameBufferRef(int, int)>& make);

  void showImage(const Uuid& id);
  struct LoadedImage {
    std::shared_ptr<AnimatedImage> animation;
    std::optional<StillImage> still;
  };
  void imageLoaded(uint64_t load, const Uuid& id, const std::string& name, const std::filesystem::path& file,
                   LoadedImage image);
  void startCamera(const std::optional<std::string>& id);
  void queueCameraSetup(const std::optional<std::string>& id);
  CameraFeed setupCamera(const std::optional<std::string>& id);
  std::optional<capture::DeviceInfo> cameraFor(const std::optional<std::string>& id);
  void startCameraClock();
  void cameraClockTick();
  void cameraAttached(const capture::DeviceInfo& device);
  void setCameraFeed(CameraFeed feed);
  void forgetCameraFrames();
  void adoptCaptureSession(const std::optional<std::string>& id, std::shared_ptr<capture::CaptureSession> session,
                           std::shared_ptr<capture::VideoOutput> output, uint64_t token);
  void forwardCameraFrame(const capture::CapturedFrame& sample, uint64_t token);
  void cameraInterrupted(uint64_t token, const std::string& reason);

  void sendFrame(const frames::ConstFrameBufferRef& buffer);

  // Fields, in the order of the design. `timer`, the capture session, the
  // mode fields, the poll timer and the caches are touched on the main queue
  // only; `isStreaming` and `sequenceNumber` are atomic because the client,
  // timer and capture queues read or write them too.
  std::optional<StreamObject> stream;
  camera::StreamFormat _streamFormat;
  std::shared_ptr<dispatch::Timer> timer;
  std::shared_ptr<dispatch::Queue> timerQueue;
  std::atomic<bool> isStreaming{false};
  std::atomic<uint64_t> sequenceNumber{0};
  std::shared_ptr<capture::CaptureSession> captureSession;
  std::shared_ptr<capture::VideoOutput> videoOutput;
  std::shared_ptr<dispatch::Queue> captureQueue;
  std::shared_ptr<dispatch::Queue> imageQueue;
  // The newest picture asked for; the image queue skips older requests and
  // the main queue drops their results.
  std::shared_ptr<std::atomic<uint64_t>> latestImageLoad = std::make_shared<std::atomic<uint64_t>>(0);
  CameraMode currentMode = CameraMode::off;
  std::optional<StillImage> currentImage;
  std::shared_ptr<AnimatedImage> currentAnimation;
  std::optional<Uuid> currentImageId;
  std::optional<std::string> currentCameraId;
  std::shared_ptr<dispatch::Timer> stateCheckTimer;
  std::optional<bool> hostRunning;
  CachedFrame notRunningFrameBuffer;
  CachedFrame cameraOffFrameBuffer;
  int64_t lastLoggedStateHash = 0;
  // The state file failure last said, and the polls since.
  struct StateFailure {
    std::string line;
    int pollsSinceSaid = 0;
  };
  std::optional<StateFailure> stateFailure;
  // Change notifications (main queue): whether the watcher runs, why it could
  // not start when it last failed (said once), when the last notified check
  // ran and the one a burst deferred.
  bool watchingFolder = false;
  std::optional<std::string> folderWatchFailure;
  std::optional<dispatch::Clock::time_point> lastNotifiedCheck;
  std::shared_ptr<dispatch::Timer> notifiedCheckTimer;
  // Set by the watcher's thread while a check it asked for is queued, so a
  // burst of changes queues one check, not one per change.
  std::shared_ptr<std::atomic<bool>> folderCheckQueued = std::make_shared<std::atomic<bool>>(false);

  Dependencies deps;
  // The black frame: one zeroed buffer, made once and sent at every firing.
  frames::ConstFrameBufferRef blackFrame;
  // Only the adopted capture session may feed the stream; frames of any other
  // (one still opening, one replaced or stopped) carry another token.
  std::atomic<uint64_t> activeCaptureToken{0};
  std::atomic<uint64_t> nextCaptureToken{0};

  // The camera clock. The capture queue notes when the camera last sent a
  // frame (host clock, 0: none since it was opened) and keeps that frame
  // when it owns its bytes (a frame lent from the camera's buffer cannot be
  // kept past its callback); the timer queue reads both.
  std::atomic<uint64_t> lastCameraFrameAt{0};
  std::atomic<bool> cameraStalled{false};
  std::mutex heldCameraFrameMutex;
  frames::VideoFrame heldCameraFrame;
  // What the camera property says now; set from any of the queues.
  std::mutex cameraFeedMutex;
  std::optional<CameraFeed> cameraFeed;
  // Camera set-ups queued and not yet finished (main queue), and the
  // registration that tells of cameras coming and going.
  int cameraSetupsInFlight = 0;
  std::unique_ptr<capture::Subscription> deviceSubscription;
};

// Fixed identity of the published camera (same across restarts).
inline constexpr const char* kDeviceName = "Tovrelle";
inline constexpr const char* kDeviceModel = "Tovrelle Model";
inline constexpr const char* kManufacturer = "Velkari";
inline constexpr const char* kDeviceIDString = "3E1B7A90-6C2D-4F58-8A13-D47C0B92E6A5";
inline constexpr const char* kStreamIDString = "A86D2F14-9B3E-4C71-B0D5-62E8F1C47A3B";
const Uuid& deviceID();
const Uuid& streamID();

// The stream's one format: 1280x720 BGRA at 1/30 s; none when the device
// layer cannot carry it.
std::optional<camera::StreamFormat> makeStreamFormat(const camera::VirtualCamera& sink);

}  // namespace tovrelle::extension
