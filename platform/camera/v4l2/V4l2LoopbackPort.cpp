#include "platform/camera/v4l2/V4l2LoopbackPort.h"

#include <dirent.h>
#include <fcntl.h>
#include <linux/videodev2.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <optional>
#include <vector>

namespace tovrelle::camera::v4l2 {
namespace {

namespace fs = std::filesystem;
using Outcome = LoopbackPort::Outcome;

// Newer v4l2loopback modules tell the writer how many readers stream.
constexpr uint32_t kClientUsageEvent = V4L2_EVENT_PRIVATE_START + 0x08E00000 + 1;
constexpr const char* kLoopbackDriver = "v4l2 loopback";
constexpr int kBufferCount = 4;

int xioctl(int fd, unsigned long request, void* arg) {
  int r;
  do r = ::ioctl(fd, request, arg);
  while (r < 0 && errno == EINTR);
  return r;
}

std::string errorText(int err) { return std::strerror(err); }

// A small sysfs attribute, without its newline.
std::optional<std::string> readAttribute(const fs::path& path) {
  std::ifstream in(path);
  std::string line;
  if (!in || !std::getline(in, line)) return std::nullopt;
  while (!line.empty() && (line.back() == '\n' || line.back() == ' ')) line.pop_back();
  return line.substr(0, 256);
}

struct Candidate {
  std::string name;  // "videoN"
  std::optional<dev_t> dev;
};

std::vector<Candidate> labelled(const fs::path& sysClass, const std::string& label) {
  std::vector<Candidate> found;
  std::error_code ec;
  for (const auto& entry : fs::directory_iterator(sysClass, ec)) {
    const std::string name = entry.path().filename().string();
    if (name.rfind("video", 0) != 0) continue;
    if (readAttribute(entry.path() / "name") != label) continue;
    Candidate c{name, std::nullopt};
    if (auto dev = readAttribute(entry.path() / "dev")) {
      unsigned major = 0, minor = 0;
      if (std::sscanf(dev->c_str(), "%u:%u", &major, &minor) == 2) c.dev = makedev(major, minor);
    }
    found.push_back(c);
  }
  std::sort(found.begin(), found.end(), [](const Candidate& a, const Candidate& b) {
    return a.name.size() != b.name.size() ? a.name.size() < b.name.size() : a.name < b.name;
  });
  return found;
}

std::string fourccText(uint32_t f) {
  std::string s(4, ' ');
  for (int i = 0; i < 4; ++i) s[static_cast<size_t>(i)] = static_cast<char>((f >> (8 * i)) & 0xff);
  return s;
}

class V4l2LoopbackPort final : public LoopbackPort {
 public:
  explicit V4l2LoopbackPort(V4l2Paths paths) : paths_(std::move(paths)) {
    wakeFd_ = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    inotifyFd_ = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    // A device that appears wakes the search at once; the retry timer covers
    // a /dev without notifications.
    if (inotifyFd_ >= 0) devWatch_ = ::inotify_add_watch(inotifyFd_, paths_.dev.c_str(), IN_CREATE | IN_ATTRIB);
  }

  ~V4l2LoopbackPort() override {
    close();
    if (inotifyFd_ >= 0) ::close(inotifyFd_);
    if (wakeFd_ >= 0) ::close(wakeFd_);
  }

  OpenResult open(const std::string& label, int width, int height, int fps) override {
    close();
    const auto candidates = labelled(paths_.sysClass, label);
    if (candidates.empty()) return {Outcome::noDevice, {}, {}};
    OpenResult last;
    // The first device of ours that takes us wins; one held by another
    // program is reported only if none does.
    for (const auto& c : candidates) {
      last = openOne(c, label, width, height, fps);
      if (last.outcome == Outcome::opened) return last;
      close();
    }
    return last;
  }

  void close() override {
    for (auto& m : maps_)
      if (m.first) ::munmap(m.first, m.second);
    maps_.clear();
    if (fd_ >= 0) {
      ::close(fd_);
      fd_ = -1;
    }
    if (nodeWatch_ >= 0 && inotifyFd_ >= 0) ::inotify_rm_watch(inotifyFd_, nodeWatch_);
    nodeWatch_ = -1;
    usageEvents_ = false;
    gone_ = false;
    readers_ = 0;
  }

  int bufferCount() const override { return static_cast<int>(maps_.size()); }
  uint8_t* buffer(int index) const override { return static_cast<uint8_t*>(maps_[static_cast<size_t>(index)].first); }
  size_t frameSize() const override { return frameSize_; }

  bool queue(int index, uint64_t hostTimeNs) override {
    if (fd_ < 0) return false;
    v4l2_buffer b{};
    b.type = V4L2_BUF_TYPE_VIDEO_OUTPUT;
    b.memory = V4L2_MEMORY_MMAP;
    b.index = static_cast<uint32_t>(index);
    b.bytesused = static_cast<uint32_t>(frameSize_);
    b.field = V4L2_FIELD_NONE;
    b.flags = V4L2_BUF_FLAG_TIMESTAMP_MONOTONIC;
    b.timestamp.tv_sec = static_cast<time_t>(hostTimeNs / 1000000000u);
    b.timestamp.tv_usec = static_cast<suseconds_t>((hostTimeNs % 1000000000u) / 1000u);
    return xioctl(fd_, VIDIOC_QBUF, &b) == 0;
  }

  Events events() override {
    drainInotify();
    if (usageEvents_) drainUsageEvents();
    return {std::max(0, readers_), gone_};
  }

  void wait(std::chrono::steady_clock::time_point deadline) override {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    const int timeout = static_cast<int>(std::clamp<long long>(left.count(), 0, 60000));
    pollfd fds[3];
    nfds_t n = 0;
    fds[n++] = {wakeFd_, POLLIN, 0};
    if (inotifyFd_ >= 0) fds[n++] = {inotifyFd_, POLLIN, 0};
    if (usageEvents_ && fd_ >= 0) fds[n++] = {fd_, POLLPRI, 0};
    if (::poll(fds, n, timeout) > 0 && (fds[0].revents & POLLIN)) {
      uint64_t v;
      [[maybe_unused]] ssize_t r = ::read(wakeFd_, &v, sizeof v);
    }
  }

  void wake() override {
    const uint64_t one = 1;
    [[maybe_unused]] ssize_t r = ::write(wakeFd_, &one, sizeof one);
  }

 private:
  OpenResult openOne(const Candidate& c, const std::string& label, int width, int height, int fps) {
    const fs::path node = paths_.dev / c.name;
    OpenResult r{Outcome::refused, node.string(), {}};
    struct stat st {};
    if (::lstat(node.c_str(), &st) != 0) {
      r.outcome = errno == ENOENT ? Outcome::noDevice : Outcome::failed;
      r.why = node.string() + ": " + errorText(errno);
      return r;
    }
    if (!S_ISCHR(st.st_mode)) {
      r.why = node.string() + " is not a character device";
      return r;
    }
    if (c.dev && st.st_rdev != *c.dev) {
      r.why = node.string() + " is not the device the kernel names " + c.name;
      return r;
    }
    // Watch before opening: every open after this is seen, ours included.
    if (inotifyFd_ >= 0)
      nodeWatch_ = ::inotify_add_watch(inotifyFd_, node.c_str(), IN_OPEN | IN_CLOSE | IN_DELETE_SELF | IN_ATTRIB);
    fd_ = ::open(node.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC | O_NOFOLLOW | O_NOCTTY);
    if (fd_ < 0) {
      const int err = errno;
      r.outcome = err == EBUSY ? Outcome::busy : err == ENOENT ? Outcome::noDevice : Outcome::failed;
      r.why = "cannot open " + node.string() + ": " + errorText(err);
      return r;
    }
    struct stat opened {};
    if (::fstat(fd_, &opened) != 0 || !S_ISCHR(opened.st_mode) || opened.st_rdev != st.st_rdev) {
      r.why = node.string() + " changed while it was opened";
      return r;
    }

    v4l2_capability cap{};
    if (xioctl(fd_, VIDIOC_QUERYCAP, &cap) != 0) {
      r.why = node.string() + " is not a V4L2 device";
      return r;
    }
    const std::string driver(reinterpret_cast<const char*>(cap.driver),
                             strnlen(reinterpret_cast<const char*>(cap.driver), sizeof cap.driver));
    const std::string card(reinterpret_cast<const char*>(cap.card),
                           strnlen(reinterpret_cast<const char*>(cap.card), sizeof cap.card));
    if (driver != kLoopbackDriver || card != label) {
      r.why = node.string() + " is \"" + card + "\" of driver \"" + driver + "\", not a v4l2loopback device";
      return r;
    }
    const uint32_t caps = (cap.capabilities & V4L2_CAP_DEVICE_CAPS) ? cap.device_caps : cap.capabilities;
    if (!(caps & V4L2_CAP_VIDEO_OUTPUT)) {
      r.outcome = Outcome::busy;
      r.why = "the device streams already";
      return r;
    }

    v4l2_format fmt{};
    fmt.type = V4L2_BUF_TYPE_VIDEO_OUTPUT;
    fmt.fmt.pix.width = static_cast<uint32_t>(width);
    fmt.fmt.pix.height = static_cast<uint32_t>(height);
    fmt.fmt.pix.pixelformat = V4L2_PIX_FMT_YUYV;
    fmt.fmt.pix.field = V4L2_FIELD_NONE;
    fmt.fmt.pix.bytesperline = static_cast<uint32_t>(width) * 2;
    fmt.fmt.pix.sizeimage = static_cast<uint32_t>(width) * 2 * static_cast<uint32_t>(height);
    fmt.fmt.pix.colorspace = V4L2_COLORSPACE_SMPTE170M;
    if (xioctl(fd_, VIDIOC_S_FMT, &fmt) != 0) {
      const int err = errno;
      r.outcome = err == EBUSY ? Outcome::busy : Outcome::failed;
      r.why = "it refused YUYV " + std::to_string(width) + "x" + std::to_string(height) + ": " + errorText(err);
      return r;
    }
    if (fmt.fmt.pix.width != static_cast<uint32_t>(width) || fmt.fmt.pix.height != static_cast<uint32_t>(height) ||
        fmt.fmt.pix.pixelformat != V4L2_PIX_FMT_YUYV) {
      // A reader still holds an earlier producer's format.
      r.outcome = Outcome::busy;
      r.why = "it keeps " + fourccText(fmt.fmt.pix.pixelformat) + " " + std::to_string(fmt.fmt.pix.width) + "x" +
              std::to_string(fmt.fmt.pix.height) + " for a reader of another program";
      return r;
    }
    frameSize_ = static_cast<size_t>(width) * 2 * static_cast<size_t>(height);

    v4l2_streamparm parm{};
    parm.type = V4L2_BUF_TYPE_VIDEO_OUTPUT;
    parm.parm.output.timeperframe = {1, static_cast<uint32_t>(fps)};
    (void)xioctl(fd_, VIDIOC_S_PARM, &parm);  // readers then announce our rate; frames flow either way

    v4l2_requestbuffers req{};
    req.count = kBufferCount;
    req.type = V4L2_BUF_TYPE_VIDEO_OUTPUT;
    req.memory = V4L2_MEMORY_MMAP;
    if (xioctl(fd_, VIDIOC_REQBUFS, &req) != 0 || req.count < 2) {
      r.outcome = Outcome::failed;
      r.why = "it gave no buffers: " + errorText(errno);
      return r;
    }
    for (uint32_t i = 0; i < req.count; ++i) {
      v4l2_buffer b{};
      b.type = V4L2_BUF_TYPE_VIDEO_OUTPUT;
      b.memory = V4L2_MEMORY_MMAP;
      b.index = i;
      if (xioctl(fd_, VIDIOC_QUERYBUF, &b) != 0 || b.length < frameSize_) {
        r.outcome = Outcome::failed;
        r.why = "buffer " + std::to_string(i) + " is unusable";
        return r;
      }
      void* p = ::mmap(nullptr, b.length, PROT_READ | PROT_WRITE, MAP_SHARED, fd_, b.m.offset);
      if (p == MAP_FAILED) {
        r.outcome = Outcome::failed;
        r.why = "cannot map buffer " + std::to_string(i) + ": " + errorText(errno);
        return r;
      }
      maps_.emplace_back(p, b.length);
    }
    v4l2_buf_type type = V4L2_BUF_TYPE_VIDEO_OUTPUT;
    if (xioctl(fd_, VIDIOC_STREAMON, &type) != 0) {
      const int err = errno;
      r.outcome = err == EBUSY ? Outcome::busy : Outcome::failed;
      r.why = "it would not start streaming: " + errorText(err);
      return r;
    }

    v4l2_event_subscription sub{};
    sub.type = kClientUsageEvent;
    sub.flags = V4L2_EVENT_SUB_FL_SEND_INITIAL;
    usageEvents_ = xioctl(fd_, VIDIOC_SUBSCRIBE_EVENT, &sub) == 0;
    // With exclusive_caps=0 the device says it captures and outputs at once,
    // and browsers take it for a converter and skip it.
    v4l2_capability now{};
    if (xioctl(fd_, VIDIOC_QUERYCAP, &now) == 0) {
      const uint32_t c = (now.capabilities & V4L2_CAP_DEVICE_CAPS) ? now.device_caps : now.capabilities;
      if ((c & V4L2_CAP_VIDEO_CAPTURE) && (c & V4L2_CAP_VIDEO_OUTPUT))
        r.why = "the module was loaded without exclusive_caps=1 for it, so browsers will not list it";
    }
    node_ = node;
    // Opens seen from here on are counted; ours is among them, and whoever
    // held the device before is found in /proc.
    drainInotify();
    readers_ = holdersInProc();
    r.outcome = Outcome::opened;
    return r;
  }

  void drainUsageEvents() {
    v4l2_event ev{};
    while (xioctl(fd_, VIDIOC_DQEVENT, &ev) == 0)
      if (ev.type == kClientUsageEvent) {
        uint32_t count;
        std::memcpy(&count, ev.u.data, sizeof count);
        readers_ = static_cast<int>(std::min<uint32_t>(count, 1000));
      }
  }

  void drainInotify() {
    if (inotifyFd_ < 0) return;
    alignas(inotify_event) char buf[4096];
    bool resync = false;
    while (true) {
      const ssize_t n = ::read(inotifyFd_, buf, sizeof buf);
      if (n <= 0) break;
      for (ssize_t off = 0; off < n;) {
        const auto* ev = reinterpret_cast<const inotify_event*>(buf + off);
        off += static_cast<ssize_t>(sizeof(inotify_event) + ev->len);
        if (ev->mask & IN_Q_OVERFLOW) resync = true;
        if (ev->wd != nodeWatch_ || nodeWatch_ < 0) continue;
        if (ev->mask & (IN_DELETE_SELF | IN_IGNORED)) gone_ = true;
        if (usageEvents_) continue;
        if (ev->mask & IN_OPEN) ++readers_;
        if (ev->mask & IN_CLOSE) --readers_;
      }
    }
    // A count below zero means an open we missed: ask /proc instead.
    if (fd_ >= 0 && !usageEvents_ && (resync || readers_ < 0)) readers_ = holdersInProc();
  }

  // Other processes (that we may look at) holding the node open, and our
  // own handles beyond the one the port keeps, each counted once.
  int holdersInProc() const {
    int count = 0;
    const std::string target = node_.string();
    DIR* proc = ::opendir(paths_.proc.c_str());
    if (!proc) return 0;
    while (dirent* p = ::readdir(proc)) {
      if (p->d_name[0] < '0' || p->d_name[0] > '9') continue;
      const fs::path fdDir = paths_.proc / p->d_name / "fd";
      DIR* fds = ::opendir(fdDir.c_str());
      if (!fds) continue;
      while (dirent* f = ::readdir(fds)) {
        if (f->d_name[0] == '.') continue;
        char link[256];
        const ssize_t n = ::readlinkat(::dirfd(fds), f->d_name, link, sizeof link - 1);
        if (n <= 0) continue;
        link[n] = 0;
        if (target == link) ++count;
      }
      ::closedir(fds);
    }
    ::closedir(proc);
    return std::max(0, count - 1);  // our own handle
  }

  V4l2Paths paths_;
  int wakeFd_ = -1;
  int inotifyFd_ = -1;
  int devWatch_ = -1;
  int nodeWatch_ = -1;
  int fd_ = -1;
  fs::path node_;
  size_t frameSize_ = 0;
  std::vector<std::pair<void*, size_t>> maps_;
  bool usageEvents_ = false;
  bool gone_ = false;
  int readers_ = 0;  // other handles: from /proc at open, then opens minus closes
};

}  // namespace

std::unique_ptr<LoopbackPort> makeV4l2LoopbackPort(V4l2Paths paths) {
  return std::make_unique<V4l2LoopbackPort>(std::move(paths));
}

}  // namespace tovrelle::camera::v4l2
