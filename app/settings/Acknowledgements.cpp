#include "app/settings/Acknowledgements.h"

namespace tovrelle::settings {
namespace {

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
      {{"GLib", "The GLib contributors", "LGPL-2.1-or-later",
        "https://gitlab.gnome.org/GNOME/glib/-/blob/main/COPYING"},
       {"libglib-2.0", "libgobject-2.0", "libgio-2.0", "libgmodule-2.0"}},
      {{"HarfBuzz", "The HarfBuzz contributors", "MIT License",
        "https://github.com/harfbuzz/harfbuzz/blob/main/COPYING"},
       {"libharfbuzz"}},
      {{"libxcb", "The XCB contributors", "MIT License",
        "https://gitlab.freedesktop.org/xorg/lib/libxcb/-/blob/master/COPYING"},
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
      {{"libjpeg-turbo", "The libjpeg-turbo Project and the Independent JPEG Group", "IJG License and BSD-3-Clause",
        "https://github.com/libjpeg-turbo/libjpeg-turbo/blob/main/LICENSE.md"},
       {"libjpeg", "libturbojpeg"}},
      {{"libpng", "The PNG Reference Library authors", "PNG Reference Library License version 2",
        "https://github.com/pnggroup/libpng/blob/libpng16/LICENSE"},
       {"libpng16"}},
      {{"libwebp", "The WebM project authors", "BSD-3-Clause",
        "https://chromium.googlesource.com/webm/libwebp/+/refs/heads/main/COPYING"},
       {"libwebp", "libwebpdemux", "libwebpmux", "libsharpyuv"}},
      {{"libyuv", "The LibYuv Project Authors", "BSD-3-Clause",
        "https://chromium.googlesource.com/libyuv/libyuv/+/refs/heads/main/LICENSE"},
       {"libyuv"}},
      {{"libsystemd", "The systemd contributors", "LGPL-2.1-or-later",
        "https://github.com/systemd/systemd/blob/main/LICENSES/LGPL-2.1-or-later.txt"},
       {"libsystemd"}},
      {{"JSON for Modern C++", "Niels Lohmann", "MIT License",
        "https://github.com/nlohmann/json/blob/develop/LICENSE.MIT"},
       {}},
  };
  return components;
}

bool isSystemRuntimeLibrary(const std::string& needed) {
  // The sanitizer runtimes come with checking builds only and are never shipped.
  static const QStringList runtime{"libc",       "libm",    "libstdc++",       "libgcc_s",         "libpthread",
                                   "libdl",      "librt",   "ld-linux-x86-64", "ld-linux-aarch64", "ld-linux",
                                   "linux-vdso", "libasan", "libubsan",        "liblsan",          "libtsan"};
  return runtime.contains(baseName(needed));
}

const std::vector<std::string>& linkedLibraries() {
  static const std::vector<std::string> libraries{
#include "LinkedLibraries.inc"
  };
  return libraries;
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

std::vector<Dependency> acknowledgementsOfThisProgram() { return acknowledgements(linkedLibraries()); }

}  // namespace tovrelle::settings
