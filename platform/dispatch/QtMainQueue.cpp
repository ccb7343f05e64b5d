#include "platform/dispatch/QtMainQueue.h"

#include <QCoreApplication>
#include <QPointer>
#include <QThread>
#include <QTimer>
#include <atomic>
#include <future>

namespace tovrelle::dispatch {
namespace {

class QtTimer final : public Timer {
 public:
  explicit QtTimer(QTimer* timer) : timer_(timer) {}
  ~QtTimer() override { cancel(); }
  void cancel() override {
    if (cancelled_) return;
    cancelled_ = true;
    QPointer<QTimer> t = timer_;
    auto stop = [t] {
      if (t) {
        t->stop();
        t->deleteLater();
      }
    };
    if (QThread::currentThread() == QCoreApplication::instance()->thread()) {
      stop();
    } else {
      QMetaObject::invokeMethod(QCoreApplication::instance(), stop, Qt::QueuedConnection);
    }
  }
  bool isCancelled() const override { return cancelled_; }

 private:
  QPointer<QTimer> timer_;
  std::atomic<bool> cancelled_{false};
};

}  // namespace

void QtMainQueue::async(Task task) {
  // Background work can still finish while the application object is torn down.
  auto* app = QCoreApplication::instance();
  if (!app || QCoreApplication::closingDown()) return;
  QMetaObject::invokeMethod(app, std::move(task), Qt::QueuedConnection);
}

void QtMainQueue::sync(Task task) {
  if (isCurrent()) {
    task();
    return;
  }
  // Once the application is going away nothing would run the task, and a
  // blocking call would wait for ever: the caller goes on without it, as
  // async() drops its task then.
  auto* app = QCoreApplication::instance();
  if (!app || QCoreApplication::closingDown()) return;
  QMetaObject::invokeMethod(app, std::move(task), Qt::BlockingQueuedConnection);
}

bool QtMainQueue::isCurrent() const {
  auto* app = QCoreApplication::instance();
  return app && QThread::currentThread() == app->thread();
}

std::shared_ptr<Timer> QtMainQueue::schedule(Duration delay, Duration interval, Task handler) {
  // QTimer must live on the main thread; create it there.
  std::shared_ptr<QtTimer> result;
  auto create = [&] {
    auto* timer = new QTimer(QCoreApplication::instance());
    timer->setTimerType(Qt::PreciseTimer);
    auto shared = std::make_shared<Task>(std::move(handler));
    auto firstMs = std::chrono::duration_cast<std::chrono::milliseconds>(delay).count();
    auto everyMs = std::chrono::duration_cast<std::chrono::milliseconds>(interval).count();
    QObject::connect(timer, &QTimer::timeout, timer, [timer, shared, everyMs] {
      if (everyMs > 0) {
        if (timer->interval() != everyMs) timer->setInterval(static_cast<int>(everyMs));
      } else {
        timer->stop();
      }
      (*shared)();
    });
    timer->setSingleShot(everyMs <= 0);
    timer->start(static_cast<int>(firstMs));
    result = std::make_shared<QtTimer>(timer);
  };
  sync(create);
  return result;
}

}  // namespace tovrelle::dispatch
