#include "app/settings/Acknowledgements.h"

#include <elf.h>
#include <fcntl.h>
#include <unistd.h>

#include <bit>
#include <cerrno>
#include <cstring>
#include <memory>

#include "platform/log/Log.h"

namespace tovrelle::settings {
namespace {

// Bounds on what is read from the file: our programs have a few dozen
// program headers, a few hundred dynamic entries and a small string table.
constexpr uint16_t kMaxProgramHeaders = 512;
constexpr uint64_t kMaxDynamicBytes = 1 << 20;
constexpr uint64_t kMaxStringTableBytes = 8 << 20;

class File {
 public:
  explicit File(const std::filesystem::path& path) : fd_(::open(path.c_str(), O_RDONLY | O_CLOEXEC)) {}
  ~File() {
    if (fd_ >= 0) ::close(fd_);
  }
  File(const File&) = delete;
  File& operator=(const File&) = delete;
  bool isOpen() const { return fd_ >= 0; }
  bool readAt(uint64_t offset, void* out, size_t length) const {
    auto* bytes = static_cast<char*>(out);
    size_t done = 0;
    while (done < length) {
      ssize_t n = ::pread(fd_, bytes + done, length - done, static_cast<off_t>(offset + done));
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) return false;
      done += static_cast<size_t>(n);
    }
    return true;
  }

 private:
  int fd_;
};

QString baseName(const std::string& needed) {
  const size_t so = needed.find(".so");
  return QString::fromStdString(so == std::string::npos ? needed : needed.substr(0, so));
}

bool matches(const QStringList& libraries, const QString& name) {
  for (const QString& library : libraries) {
    if (library.endsWith(QLatin1Char('*')) ? name.startsWith(library.chopped(1)) : name == library) return true;
  }
  return false;
}

}  // namespace

const std::vector<Component>& knownComponents() {
  static const std::vector<Component> components{
      {{"Qt", "The Qt Company Ltd. and the Qt contributors", "LGPL-3.0", "https://doc.qt.io/qt-6/lgpl.html"},
       {"libQt6*"}},
      {{"PipeWire", "Wim Taymans and the PipeWire contributors", "MIT License",
        "https://gitlab.freedesktop.org/pipewire/pipewire/-/blob/master/COPYING"},
       {"libpipewire-0.3"}},
      // Debian configures its FFmpeg libraries with the GPL parts enabled, so
      // the libraries as shipped are under the GPL, not the LGPL.
      {{"FFmpeg", "The FFmpeg developers", "GPL-2.0-or-later (FFmpeg's own code: LGPL-2.1-or-later)",
        "https://git.ffmpeg.org/gitweb/ffmpeg.git/blob_plain/HEAD:/LICENSE.md"},
       {"libavcodec", "libavformat", "libavutil", "libswscale", "libswresample", "libavfilter", "libavdevice",
        "libpostproc"}},
      {{"cairo", "The cairo graphics contributors", "LGPL-2.1 or MPL-1.1",
        "https://gitlab.freedesktop.org/cairo/cairo/-/blob/master/COPYING"},
       {"libcairo", "libcairo-gobject"}},
      {{"Pango", "The Pango contributors", "LGPL-2.0-or-later",
        "https://gitlab.gnome.org/GNOME/pango/-/blob/main/COPYING"},
       {"libpango-1.0", "libpangocairo-1.0", "libpangoft2-1.0"}},
      {{"GLib", "The GLib contributors", "LGPL-2.1-or-later", "https://gitlab.gnome.org/GNOME/glib/-/blob/main/COPYING"},
       {"libglib-2.0", "libgobject-2.0", "libgio-2.0", "libgmodule-2.0"}},
      {{"HarfBuzz", "The HarfBuzz contributors", "MIT License",
        "https://github.com/harfbuzz/harfbuzz/blob/main/COPYING"},
       {"libharfbuzz"}},
      {{"libxcb", "The XCB contributors", "MIT License", "https://gitlab.freedesktop.org/xorg/lib/libxcb/-/blob/master/COPYING"},
       {"libxcb", "libxcb-xkb", "libxcb-xtest", "libxcb-randr", "libxcb-xfixes", "libxcb-shm", "libxcb-xinput"}},
      {{"xcb-util-keysyms", "The XCB contributors", "MIT License",
        "https://gitlab.freedesktop.org/xorg/lib/libxcb-keysyms/-/blob/master/COPYING"},
       {"libxcb-keysyms"}},
      {{"libxkbcommon", "The xkbcommon contributors", "MIT License",
        "https://github.com/xkbcommon/libxkbcommon/blob/master/LICENSE"},
       {"libxkbcommon", "libxkbcommon-x11"}},
      // Qt's OpenGL support links the vendor-neutral dispatch libraries.
      {{"libglvnd", "NVIDIA Corporation and the libglvnd contributors", "MIT License",
        "https://gitlab.freedesktop.org/glvnd/libglvnd/-/blob/master/README.md"},
       {"libGL", "libGLX", "libOpenGL", "libEGL", "libGLdispatch"}},
      {{"libsystemd", "The systemd contributors", "LGPL-2.1-or-later",
        "https://github.com/systemd/systemd/blob/main/LICENSES/LGPL-2.1-or-later.txt"},
       {"libsystemd"}},
      {{"JSON for Modern C++", "Niels Lohmann", "MIT License", "https://github.com/nlohmann/json/blob/develop/LICENSE.MIT"},
       {}},
  };
  return components;
}

bool isSystemRuntimeLibrary(const std::string& needed) {
  // The sanitizer runtimes come with checking builds only and are never shipped.
  static const QStringList runtime{"libc",     "libm",      "libstdc++",       "libgcc_s",         "libpthread",
                                   "libdl",    "librt",     "ld-linux-x86-64", "ld-linux-aarch64", "ld-linux",
                                   "linux-vdso", "libasan", "libubsan",        "liblsan",          "libtsan"};
  return runtime.contains(baseName(needed));
}

std::optional<std::vector<std::string>> neededLibraries(const std::filesystem::path& path) {
  File file(path);
  if (!file.isOpen()) return std::nullopt;
  Elf64_Ehdr header{};
  if (!file.readAt(0, &header, sizeof header)) return std::nullopt;
  if (std::memcmp(header.e_ident, ELFMAG, SELFMAG) != 0 || header.e_ident[EI_CLASS] != ELFCLASS64) return std::nullopt;
  const unsigned char nativeOrder = (std::endian::native == std::endian::little) ? ELFDATA2LSB : ELFDATA2MSB;
  if (header.e_ident[EI_DATA] != nativeOrder) return std::nullopt;
  if (header.e_phentsize != sizeof(Elf64_Phdr) || header.e_phnum == 0 || header.e_phnum > kMaxProgramHeaders)
    return std::nullopt;

  std::vector<Elf64_Phdr> programHeaders(header.e_phnum);
  if (!file.readAt(header.e_phoff, programHeaders.data(), programHeaders.size() * sizeof(Elf64_Phdr)))
    return std::nullopt;

  const Elf64_Phdr* dynamicSegment = nullptr;
  for (const auto& ph : programHeaders)
    if (ph.p_type == PT_DYNAMIC) dynamicSegment = &ph;
  if (!dynamicSegment) return std::vector<std::string>{};  // a static program needs nothing
  if (dynamicSegment->p_filesz > kMaxDynamicBytes) return std::nullopt;

  std::vector<Elf64_Dyn> entries(dynamicSegment->p_filesz / sizeof(Elf64_Dyn));
  if (!file.readAt(dynamicSegment->p_offset, entries.data(), entries.size() * sizeof(Elf64_Dyn)))
    return std::nullopt;

  uint64_t stringTableAddress = 0, stringTableSize = 0;
  std::vector<uint64_t> neededOffsets;
  for (const auto& entry : entries) {
    if (entry.d_tag == DT_NULL) break;
    if (entry.d_tag == DT_NEEDED) neededOffsets.push_back(entry.d_un.d_val);
    if (entry.d_tag == DT_STRTAB) stringTableAddress = entry.d_un.d_ptr;
    if (entry.d_tag == DT_STRSZ) stringTableSize = entry.d_un.d_val;
  }
  if (neededOffsets.empty()) return std::vector<std::string>{};
  if (stringTableSize == 0 || stringTableSize > kMaxStringTableBytes) return std::nullopt;

  // The table is named by its address once loaded; find where that is in the file.
  std::optional<uint64_t> stringTableOffset;
  for (const auto& ph : programHeaders) {
    if (ph.p_type == PT_LOAD && stringTableAddress >= ph.p_vaddr &&
        stringTableAddress - ph.p_vaddr + stringTableSize <= ph.p_filesz)
      stringTableOffset = ph.p_offset + (stringTableAddress - ph.p_vaddr);
  }
  if (!stringTableOffset) return std::nullopt;
  std::string strings(stringTableSize, '\0');
  if (!file.readAt(*stringTableOffset, strings.data(), strings.size())) return std::nullopt;

  std::vector<std::string> needed;
  for (uint64_t offset : neededOffsets) {
    if (offset >= strings.size()) return std::nullopt;
    const size_t end = strings.find('\0', offset);
    if (end == std::string::npos) return std::nullopt;
    needed.push_back(strings.substr(offset, end - offset));
  }
  return needed;
}

const Component* componentOf(const std::string& needed) {
  const QString name = baseName(needed);
  for (const Component& component : knownComponents())
    if (matches(component.libraries, name)) return &component;
  return nullptr;
}

std::vector<Dependency> acknowledgements(const std::vector<std::string>& needed) {
  std::vector<Dependency> rows;
  for (const Component& component : knownComponents()) {
    bool shipped = component.libraries.isEmpty();
    for (const std::string& library : needed) shipped = shipped || componentOf(library) == &component;
    if (shipped) rows.push_back(component.dependency);
  }
  return rows;
}

std::vector<Dependency> acknowledgementsOfThisProgram() {
  static const std::vector<Dependency> rows = [] {
    if (auto needed = neededLibraries("/proc/self/exe")) return acknowledgements(*needed);
    log::processLog("AboutSettingsView: cannot read the program's linked libraries; listing Qt only");
    return acknowledgements({"libQt6Core.so.6"});
  }();
  return rows;
}

}  // namespace tovrelle::settings
