#pragma once
// The program's start: a panel-only Qt application that makes sure it is the
// only running host, installs the string table, builds the application
// delegate on the real services and runs the event loop.
// Thread-bound (main thread).

namespace tovrelle {

struct TovrelleApp {
  // Runs the app; returns the process's exit status.
  static int main(int argc, char** argv);
};

}  // namespace tovrelle
