// The acknowledgements name exactly the components the host program links,
// from the list the build writes.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "app/settings/Acknowledgements.h"

namespace tovrelle::settings {
namespace {

QStringList names(const std::vector<Dependency>& rows) {
  QStringList out;
  for (const auto& row : rows) out << row.name;
  return out;
}

TEST(Acknowledgements, EveryLibraryTheProgramLinksIsAcknowledged) {
  const auto& linked = linkedLibraries();
  ASSERT_FALSE(linked.empty()) << "the build wrote no list";
  for (const std::string& library : linked)
    EXPECT_TRUE(isSystemRuntimeLibrary(library) || componentOf(library))
        << library << " is linked by the host program but not acknowledged";

  // What the program is built on is there, and listed.
  const auto rows = names(acknowledgementsOfThisProgram());
  for (const char* name : {"Qt", "PipeWire", "FFmpeg", "libjpeg-turbo", "libyuv", "libsystemd", "JSON for Modern C++"})
    EXPECT_TRUE(rows.contains(name)) << name;
  // No row without a linked library, except what is compiled in.
  for (const Component& component : knownComponents()) {
    if (component.libraries.isEmpty() || !rows.contains(component.dependency.name)) continue;
    EXPECT_TRUE(std::any_of(linked.begin(), linked.end(), [&](const std::string& l) {
      return componentOf(l) == &component;
    })) << component.dependency.name.toStdString();
  }
}

TEST(Acknowledgements, ComponentsFollowTheLinkedLibrariesInListOrder) {
  EXPECT_EQ(names(acknowledgements({"libQt6Core.so.6", "libc.so.6", "libstdc++.so.6"})),
            (QStringList{"Qt", "JSON for Modern C++"}));
  EXPECT_EQ(names(acknowledgements({"libsystemd.so.0", "libxcb-keysyms.so.1", "libavutil.so.57", "libpipewire-0.3.so.0",
                                    "libQt6Gui.so.6"})),
            (QStringList{"Qt", "PipeWire", "FFmpeg", "xcb-util-keysyms", "libsystemd", "JSON for Modern C++"}));
  // A helper library of one project does not bring in another of a similar name.
  EXPECT_EQ(names(acknowledgements({"libxcb.so.1"})), (QStringList{"libxcb", "JSON for Modern C++"}));
  EXPECT_EQ(componentOf("libgtest.so.1.12.1"), nullptr);
  EXPECT_TRUE(isSystemRuntimeLibrary("libasan.so.8"));

  for (const Component& component : knownComponents()) {
    EXPECT_FALSE(component.dependency.author.isEmpty()) << component.dependency.name.toStdString();
    EXPECT_FALSE(component.dependency.license.isEmpty()) << component.dependency.name.toStdString();
    EXPECT_TRUE(component.dependency.url.startsWith("https://")) << component.dependency.name.toStdString();
  }
}

}  // namespace
}  // namespace tovrelle::settings
