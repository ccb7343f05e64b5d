#include "app/settings/ThumbnailCache.h"

#include <QFileInfo>
#include <QImageReader>
#include <QMetaObject>
#include <QRunnable>
#include <cmath>
#include <limits>

#include "platform/log/Log.h"

namespace tovrelle::settings {
namespace {

// Pictures larger than this are not decoded whole for a thumbnail (the camera
// refuses them too); a JPEG is reduced while it is read, so any size will do.
constexpr qint64 kMaxPixels = qint64{64} * 1024 * 1024;
// Roughly 2000 thumbnails of 80 x 80.
constexpr int kCacheCost = 2000;

}  // namespace

QImage decodeThumbnail(const QString& path, int side) {
  if (side <= 0) return {};
  QFileInfo info(path);
  if (!info.isFile()) return {};
  QImageReader reader(path);
  reader.setAutoTransform(true);
  const QSize full = reader.size();
  if (full.isValid()) {
    if (qint64(full.width()) * full.height() > kMaxPixels && reader.format() != "jpeg") return {};
    // Let JPEG's decoder scale while reading (far faster), keeping enough
    // pixels to cover the square. Other readers scale a 1-bit or palette
    // picture in its own pixel format, which turns it into noise.
    const qreal scale = std::max(qreal(side) / full.width(), qreal(side) / full.height());
    if (scale < 1.0 && reader.format() == "jpeg")
      reader.setScaledSize(QSize(std::max(side, int(std::ceil(full.width() * scale))),
                                 std::max(side, int(std::ceil(full.height() * scale)))));
  }
  QImage image = reader.read();
  if (image.isNull()) return {};
  // Smooth scaling blends colours, so it needs them, not palette indices.
  image = image.convertToFormat(QImage::Format_ARGB32_Premultiplied);
  const QImage filled =
      image.scaled(side, side, Qt::KeepAspectRatioByExpanding, Qt::SmoothTransformation);
  const int x = (filled.width() - side) / 2;
  const int y = (filled.height() - side) / 2;
  return filled.copy(x, y, side, side).convertToFormat(QImage::Format_ARGB32_Premultiplied);
}

ThumbnailCache::ThumbnailCache(int side, QObject* parent) : QObject(parent), side_(side), entries_(kCacheCost) {
  // One worker: thumbnails arrive in the order the rows asked for them, and the
  // settings window never competes with the camera for both cores.
  pool_.setMaxThreadCount(1);
}

ThumbnailCache::~ThumbnailCache() {
  pool_.clear();
  pool_.waitForDone();
}

ThumbnailCache::State ThumbnailCache::state(const QString& path) const {
  if (const Entry* entry = entries_.object(path)) return entry->image.isNull() ? State::Failed : State::Ready;
  return loading_.contains(path) ? State::Loading : State::Unknown;
}

QImage ThumbnailCache::thumbnail(const QString& path) const {
  const Entry* entry = entries_.object(path);
  return entry ? entry->image : QImage();
}

void ThumbnailCache::request(const QString& path) {
  if (entries_.contains(path) || loading_.contains(path)) return;
  loading_.insert(path);
  const int side = side_;
  // The latest request first: after a fast scroll the rows now in view load
  // before the ones scrolled past.
  pool_.start([this, path, side]() {
    QImage image = decodeThumbnail(path, side);
    // The destructor waits for this job, so the cache is still there; the
    // result is handed to the main thread, where the cache lives (a posted
    // call dies with its receiver).
    QMetaObject::invokeMethod(this, [this, path, image]() { finished(path, image); }, Qt::QueuedConnection);
  }, requests_);
  requests_ = requests_ == std::numeric_limits<int>::max() ? 0 : requests_ + 1;
}

void ThumbnailCache::finished(const QString& path, const QImage& image) {
  loading_.remove(path);
  if (image.isNull()) log::processLog("ImageRow: no thumbnail for %s", path.toUtf8().constData());
  entries_.insert(path, new Entry{image}, 1);
  emit thumbnailReady(path);
}

}  // namespace tovrelle::settings
