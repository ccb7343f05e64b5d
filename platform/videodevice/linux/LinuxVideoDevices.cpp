#include "platform/videodevice/linux/LinuxVideoDevices.h"

#include <QObject>
#include <QProcess>
#include <QStringList>

#include <sys/utsname.h>
#include <algorithm>
#include <cstdlib>
#include <string_view>

#include "platform/log/Log.h"
#include "shared/Files.h"

namespace tovrelle::videodevice {
namespace fs = std::filesystem;

namespace {

constexpr const char* kModule = "v4l2loopback";
// sysfs attributes report a size of one page whatever they hold.
constexpr size_t kAttributeBytes = 4096;
// Distributions' module indexes are around 1 MB.
constexpr size_t kModuleIndexBytes = 16u << 20;
constexpr size_t kMaxMessage = 400;

// pkexec's statuses when the prompt was dismissed or not passed: the user's choice, not a fault.
constexpr int kPkexecDismissed = 126;
constexpr int kPkexecNotAuthorized = 127;

std::string runningKernelRelease() {
  utsname name{};
  return ::uname(&name) == 0 ? std::string(name.release) : std::string();
}

// Labels are written by whoever loaded the module: shown, never trusted.
std::string printable(std::string text, size_t max = 64) {
  while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) text.pop_back();
  if (text.size() > max) text.resize(max);
  for (char& c : text)
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) c = '?';
  return text;
}

bool pathExists(const fs::path& path) {
  std::error_code ec;
  return fs::exists(path, ec);
}

// Whether the module index of `release` names the module, as modprobe would find it.
bool indexNamesModule(const fs::path& root, const std::string& release) {
  for (const char* base : {"lib/modules", "usr/lib/modules"}) {
    const fs::path folder = root / base / release;
    for (const char* index : {"modules.dep", "modules.builtin"}) {
      auto read = readFileBounded(folder / index, kModuleIndexBytes);
      if (!read) continue;
      std::string_view text = *read;
      for (size_t start = 0; start < text.size();) {
        size_t end = text.find('\n', start);
        if (end == std::string_view::npos) end = text.size();
        std::string_view line = text.substr(start, end - start);
        start = end + 1;
        line = line.substr(0, line.find(':'));
        const size_t slash = line.rfind('/');
        const std::string_view file = slash == std::string_view::npos ? line : line.substr(slash + 1);
        if (file.starts_with("v4l2loopback.ko")) return true;
      }
    }
  }
  return false;
}

unsigned nodeNumber(const std::string& node) {
  const size_t digits = node.find_first_of("0123456789");
  return digits == std::string::npos ? 0u : static_cast<unsigned>(std::strtoul(node.c_str() + digits, nullptr, 10));
}

std::string trimmedMessage(const QByteArray& bytes) {
  std::string text = QString::fromLocal8Bit(bytes).simplified().toStdString();
  if (text.size() > kMaxMessage) text = text.substr(0, kMaxMessage) + "…";
  return text;
}

class LinuxVideoDevices final : public VideoDevices, public std::enable_shared_from_this<LinuxVideoDevices> {
 public:
  LinuxVideoDevices(LinuxOptions options, std::shared_ptr<dispatch::Queue> resultQueue)
      : options_(std::move(options)),
        resultQueue_(std::move(resultQueue)),
        worker_(dispatch::makeSerialQueue("video-devices")) {
    if (options_.kernelRelease.empty()) options_.kernelRelease = runningKernelRelease();
    if (!options_.cameraNodes)
      options_.cameraNodes = [] { return camera::findCameraNodes(kDeviceLabel, std::chrono::seconds(2)); };
    if (options_.loadCommand.empty()) options_.loadCommand = defaultLoadCommand();
  }

  void look(std::function<void(Report)> done) override {
    std::weak_ptr<LinuxVideoDevices> weak = shared_from_this();
    worker_->async([weak, done = std::move(done)] {
      auto self = weak.lock();
      if (!self) return;
      Report report = readKernelState(self->options_.root, self->options_.kernelRelease);
      if (auto nodes = self->options_.cameraNodes()) addServiceOutput(report, *nodes);
      self->resultQueue_->async([done, report = std::move(report)] { done(report); });
    });
  }

  void loadModule(std::function<void(LoadResult)> done) override {
    auto* process = new QProcess;
    QStringList arguments;
    for (size_t i = 1; i < options_.loadCommand.size(); ++i)
      arguments << QString::fromStdString(options_.loadCommand[i]);
    process->setProgram(QString::fromStdString(options_.loadCommand.front()));
    process->setArguments(arguments);
    process->setProcessChannelMode(QProcess::MergedChannels);
    auto queue = resultQueue_;
    // Either signal may end the run; the first one answers.
    auto answered = std::make_shared<bool>(false);
    auto answer = [process, queue, done, answered](LoadResult result) {
      if (*answered) return;
      *answered = true;
      process->deleteLater();
      queue->async([done, result] { done(result); });
    };
    QObject::connect(process, &QProcess::errorOccurred, process, [process, answer](QProcess::ProcessError error) {
      if (error != QProcess::FailedToStart) return;
      log::write(log::Level::Error, {}, {},
                 log::format("VideoDevices: cannot start %s: %s", qPrintable(process->program()),
                             qPrintable(process->errorString())));
      answer({LoadOutcome::failed, process->program().toStdString() + " is not installed or cannot be started"});
    });
    QObject::connect(process, &QProcess::finished, process, [process, answer](int code, QProcess::ExitStatus status) {
      const std::string output = trimmedMessage(process->readAll());
      if (status == QProcess::NormalExit && code == 0) {
        log::processLog("VideoDevices: loaded the v4l2loopback module");
        return answer({LoadOutcome::loaded, {}});
      }
      if (status == QProcess::NormalExit && (code == kPkexecDismissed || code == kPkexecNotAuthorized)) {
        log::processLog("VideoDevices: loading the v4l2loopback module was not authorized (status %d)", code);
        return answer({LoadOutcome::cancelled, {}});
      }
      log::write(log::Level::Error, {}, {},
                 log::format("VideoDevices: loading the v4l2loopback module failed (status %d): %s", code,
                             escapedExcerpt(output, kMaxMessage).c_str()));
      answer({LoadOutcome::failed, output.empty() ? "modprobe ended with status " + std::to_string(code) : output});
    });
    process->start();
  }

 private:
  LinuxOptions options_;
  std::shared_ptr<dispatch::Queue> resultQueue_;
  std::shared_ptr<dispatch::Queue> worker_;
};

}  // namespace

std::vector<std::string> defaultLoadCommand() {
  // Where distributions keep modprobe; pkexec wants an absolute path.
  std::string modprobe = "/sbin/modprobe";
  for (const char* path : {"/sbin/modprobe", "/usr/sbin/modprobe", "/usr/bin/modprobe"})
    if (pathExists(path)) {
      modprobe = path;
      break;
    }
  std::vector<std::string> command{"pkexec", modprobe};
  const QStringList arguments = QString::fromLatin1(kModprobeArguments).split(QLatin1Char(' '));
  for (const QString& argument : arguments) command.push_back(argument.toStdString());
  return command;
}

Report readKernelState(const fs::path& root, const std::string& kernelRelease) {
  Report report;
  report.moduleLoaded = pathExists(root / "sys/module" / kModule);
  report.moduleInstalled = report.moduleLoaded || indexNamesModule(root, kernelRelease);
  report.canAddDevices = pathExists(root / "sys/class/misc" / kModule);

  std::error_code ec;
  const fs::path classFolder = root / "sys/class/video4linux";
  for (auto it = fs::directory_iterator(classFolder, ec); !ec && it != fs::directory_iterator(); it.increment(ec)) {
    const std::string name = it->path().filename().string();
    if (!name.starts_with("video") || name.find_first_not_of("0123456789", 5) != std::string::npos) continue;
    Device device;
    device.node = "/dev/" + name;
    if (auto label = readFileBounded(it->path() / "name", kAttributeBytes); label) device.label = printable(*label);
    // Only the module's devices carry this attribute.
    device.loopback = pathExists(it->path() / "max_openers");
    if (device.loopback || device.label == kDeviceLabel) report.devices.push_back(std::move(device));
  }
  std::sort(report.devices.begin(), report.devices.end(),
            [](const Device& a, const Device& b) { return nodeNumber(a.node) < nodeNumber(b.node); });
  return report;
}

void addServiceOutput(Report& report, const std::vector<camera::CameraNode>& nodes) {
  if (nodes.empty()) return;
  const camera::CameraNode& node = nodes.front();
  report.serviceRunning = true;
  report.output = node.v4l2State ? parseServiceOutput(*node.v4l2State) : ServiceOutput::unknown;
  report.outputDevice = node.v4l2Device ? printable(*node.v4l2Device) : std::string();
}

std::shared_ptr<VideoDevices> makeLinuxVideoDevices(LinuxOptions options,
                                                    std::shared_ptr<dispatch::Queue> resultQueue) {
  return std::make_shared<LinuxVideoDevices>(std::move(options), std::move(resultQueue));
}

}  // namespace tovrelle::videodevice
