// The settings views are widgets: one QApplication for the whole program, on
// the offscreen platform unless the environment names another.
#include <gtest/gtest.h>
#include <QApplication>
#include <cstdlib>

#ifdef TOVRELLE_TEST_HAS_STRINGS
#include "app/shell/Strings.h"
#endif

int main(int argc, char** argv) {
  if (!std::getenv("QT_QPA_PLATFORM")) ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
  QApplication app(argc, argv);
  app.setQuitOnLastWindowClosed(false);
#ifdef TOVRELLE_TEST_HAS_STRINGS
  tovrelle::strings::install(app);
#endif
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
