#pragma once
// Application-wide notifications, posted on the main thread by the shell.
// Thread-bound: the main thread's.
#include <QObject>

namespace tovrelle::host {

class ApplicationEvents : public QObject {
  Q_OBJECT

 public:
  // The app came to the front (one of its windows became active).
  void postDidBecomeActive() { emit didBecomeActive(); }

 signals:
  void didBecomeActive();
};

}  // namespace tovrelle::host
