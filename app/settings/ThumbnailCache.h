#pragma once
// Square thumbnails of library files, decoded on a worker thread and kept per
// file, so a long library scrolls without decoding on the main thread.
// Thread-bound (main thread): the cache, the set of files loading and the
// signal. The one pool thread decodes from a path and a size only, and hands
// its result to the main thread by a queued call; the destructor waits for it.
#include <QCache>
#include <QImage>
#include <QObject>
#include <QSet>
#include <QString>
#include <QThreadPool>
#include <memory>

namespace tovrelle::settings {

// The file's first picture scaled to fill a `side` x `side` square (cropped
// to the middle); a null image when the file does not load as an image.
QImage decodeThumbnail(const QString& path, int side);

// What the picture is, for the user: "PNG · 1920 × 1080", "GIF · animated";
// empty when the file does not read as a picture.
QString describePicture(const QString& path);

class ThumbnailCache : public QObject {
  Q_OBJECT

 public:
  enum class State { Unknown, Loading, Ready, Failed };

  // Thumbnails are made at `side` device pixels (twice the 40-point square,
  // so they stay sharp on high-density screens).
  explicit ThumbnailCache(int side = 80, QObject* parent = nullptr);
  ~ThumbnailCache() override;

  State state(const QString& path) const;
  // The thumbnail when it is ready; null otherwise.
  QImage thumbnail(const QString& path) const;
  // describePicture's words, once the thumbnail is ready; empty otherwise.
  QString detail(const QString& path) const;
  // Starts loading unless the file is loaded, failed or on its way.
  void request(const QString& path);

  int side() const { return side_; }
  // Jobs waiting or running.
  int pending() const { return loading_.size(); }

 signals:
  // A requested file finished loading (or failed to load).
  void thumbnailReady(const QString& path);

 private:
  void finished(const QString& path, const QImage& image, const QString& detail);

  struct Entry {
    QImage image;  // null: the file did not load
    QString detail;
  };
  int side_;
  QCache<QString, Entry> entries_;
  QSet<QString> loading_;
  int requests_ = 0;
  // Owned here so the destructor can wait for running jobs before the cache goes.
  QThreadPool pool_;
};

}  // namespace tovrelle::settings
