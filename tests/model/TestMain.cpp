// The model objects are QObjects on the main thread's event loop, as in the app.
// The process takes a mount namespace of its own first (while it still has one
// thread), so tests can mount read-only and full folders that vanish with it.
#include <gtest/gtest.h>
#include <QCoreApplication>

#include <sched.h>
#include <sys/mount.h>

namespace tovrelle::test {
bool gPrivateMounts = false;
}

int main(int argc, char** argv) {
  tovrelle::test::gPrivateMounts =
      ::unshare(CLONE_NEWNS) == 0 && ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0;
  QCoreApplication app(argc, argv);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
