#include <cstdio>
#include <cstdlib>

#include "app/shell/TovrelleApp.h"

int main(int argc, char** argv) {
  const int status = tovrelle::TovrelleApp::main(argc, argv);
  // Everything the user owns is on disk by now. Skip static destructors: capture
  // and discovery threads of the process-wide objects may still be running.
  std::fflush(nullptr);
  std::_Exit(status);
}
