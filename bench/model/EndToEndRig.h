#pragma once
// The whole road from the host model to a client's picture: a private
// PipeWire session, the camera extension reading a data folder, the host
// model harness writing it (driven through its control pipe), and a client
// that prints every change of picture. Used by the latency benchmark.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QImage>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/Services.h"

namespace tovrelle::test {

struct Picture {
  long long t = 0;             // CLOCK_MONOTONIC ns when the client got the frame
  double mean[3] = {0, 0, 0};  // B, G, R
  std::string describe() const {
    char text[96];
    std::snprintf(text, sizeof text, "%.1f,%.1f,%.1f", mean[0], mean[1], mean[2]);
    return text;
  }
};

inline long long monotonicNanos() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<long long>(ts.tv_sec) * 1000000000LL + ts.tv_nsec;
}

class EndToEndRig {
 public:
  EndToEndRig() : session_(std::make_unique<PrivateSession>()) {
    data_ = session_->makeFolder("data");
    control_ = session_->runtimeDir() / "host-model.control";
    env_ = {{"TOVRELLE_DATA_DIR", data_.string()},
            {"TOVRELLE_SETTINGS_FILE", (session_->runtimeDir() / "settings.ini").string()}};
  }

  const std::filesystem::path& data() const { return data_; }
  PrivateSession& session() { return *session_; }
  Process* extension() { return extension_.get(); }
  Process* hostModel() { return host_.get(); }
  Process* watch() { return watch_.get(); }

  // `extraEnv` adds to the data folder's variables (TOVRELLE_POLL_ONLY for a baseline).
  void startExtension(const std::map<std::string, std::string>& extraEnv = {}) {
    auto env = env_;
    env.insert(extraEnv.begin(), extraEnv.end());
    extension_ = session_->spawn({(binaryDir() / "tovrelle-camera-extension").string()}, env, "extension.log");
    if (!extension_->waitForLog("on PipeWire (node", std::chrono::seconds(10)))
      throw std::runtime_error("the extension did not publish its camera:\n" + extension_->log());
  }

  void startHostModel() {
    sent_ = 0;
    host_ = session_->spawn({(binaryDir() / "tovrelle-host-model").string(), "--control", control_.string()}, env_,
                            "host-model.log");
    if (!host_->waitForLog("host-model: ready", std::chrono::seconds(10)))
      throw std::runtime_error("the host model did not start:\n" + host_->log());
  }

  void startWatch() {
    watch_ =
        session_->spawn({(binaryDir() / "tovrelle-frame-watch").string(), "--timeout", "600"}, env_, "frame-watch.log");
    if (!watch_->waitForLog("watch: picture", std::chrono::seconds(10)))
      throw std::runtime_error("the client got no frame:\n" + watch_->log() + "\n" + extension_->log());
  }

  // Runs one harness command and returns the time it finished.
  long long send(const std::string& command) {
    {
      int fd = ::open(control_.c_str(), O_WRONLY | O_CLOEXEC);
      if (fd < 0) throw std::runtime_error("cannot open the control pipe");
      const std::string line = command + "\n";
      const bool written = ::write(fd, line.data(), line.size()) == static_cast<ssize_t>(line.size());
      ::close(fd);
      if (!written) throw std::runtime_error("cannot write the control pipe");
    }
    ++sent_;
    if (!host_->waitForLog("host-model: done ", std::chrono::seconds(10), sent_))
      throw std::runtime_error("the host model did not run " + command + ":\n" + host_->log());
    const std::string log = host_->log();
    const std::string answer = "host-model: done " + command + " t=";
    const size_t at = log.rfind(answer);
    if (at == std::string::npos) throw std::runtime_error("no answer to " + command + ":\n" + log);
    return std::stoll(log.substr(at + answer.size()));
  }

  std::vector<Picture> pictures() const {
    std::vector<Picture> out;
    std::istringstream in(watch_->log());
    for (std::string line; std::getline(in, line);) {
      Picture p;
      if (std::sscanf(line.c_str(), "watch: picture t=%lld pts=%*d seq=%*u mean=%lf,%lf,%lf", &p.t, &p.mean[0],
                      &p.mean[1], &p.mean[2]) == 4)
        out.push_back(p);
    }
    return out;
  }

  // The first picture change the client saw after `t`, waiting up to `timeout`.
  std::optional<Picture> pictureAfter(long long t, std::chrono::milliseconds timeout) const {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
      for (auto& p : pictures())
        if (p.t > t) return p;
      if (std::chrono::steady_clock::now() > deadline) return std::nullopt;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
  }

  // A still picture of one colour, 640x360 so it fills the frame.
  std::filesystem::path makePicture(const std::string& name, QRgb colour) const {
    QImage image(640, 360, QImage::Format_RGB32);
    image.fill(colour);
    auto path = session_->runtimeDir() / name;
    if (!image.save(QString::fromStdString(path.string()), "PNG")) throw std::runtime_error("cannot write " + name);
    return path;
  }

 private:
  std::unique_ptr<PrivateSession> session_;
  std::filesystem::path data_;
  std::filesystem::path control_;
  std::map<std::string, std::string> env_;
  std::unique_ptr<Process> extension_;
  std::unique_ptr<Process> host_;
  std::unique_ptr<Process> watch_;
  int sent_ = 0;
};

}  // namespace tovrelle::test
