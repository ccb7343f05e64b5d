#include "app/settings/ThumbnailCache.h"

#include <QFile>
#include <QFileInfo>
#include <QImageReader>
#include <QMetaObject>
#include <QRunnable>
#include <cmath>
#include <limits>

#include "app/settings/SettingsStyle.h"
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
  const QImage filled = image.scaled(side, side, Qt::KeepAspectRatioByExpanding, Qt::SmoothTransformation);
  const int x = (filled.width() - side) / 2;
  const int y = (filled.height() - side) / 2;
  return filled.copy(x, y, side, side).convertToFormat(QImage::Format_ARGB32_Premultiplied);
}

namespace {

// An animated PNG announces itself with an acTL chunk before its first image data.
bool isAnimatedPng(const QString& path) {
  QFile file(path);
  if (!file.open(QIODevice::ReadOnly)) return false;
  const QByteArray head = file.read(64 * 1024);
  const qsizetype actl = head.indexOf("acTL");
  const qsizetype idat = head.indexOf("IDAT");
  return actl >= 0 && (idat < 0 || actl < idat);
}

}  // namespace

QString describePicture(const QString& path) {
  if (!QFileInfo(path).isFile()) return {};
  QImageReader reader(path);
  const QByteArray format = reader.format();
  if (format.isEmpty()) return {};
  // The format's own name, as file managers show it.
  QString kind = QString::fromLatin1(format).toUpper();
  if (format == "jpeg" || format == "jpg") kind = QStringLiteral("JPEG");
  if (format == "webp") kind = QStringLiteral("WebP");
  const bool animated =
      (reader.supportsAnimation() && reader.imageCount() > 1) || (format == "png" && isAnimatedPng(path));
  //: Images list: an animated picture; %1 is its format (GIF, PNG, WebP)
  if (animated) return text("settings.imageDetail.animated").arg(kind);
  const QSize size = reader.size();
  if (!size.isValid()) return kind;
  //: Images list: a still picture; %1 is its format (PNG, JPEG), %2 its width and %3 its height in pixels
  return text("settings.imageDetail.size").arg(kind).arg(size.width()).arg(size.height());
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
  pool_.start(
      [this, path, side]() {
        QImage image = decodeThumbnail(path, side);
        const QString detail = image.isNull() ? QString() : describePicture(path);
        // The destructor waits for this job, so the cache is still there; the
        // result is handed to the main thread, where the cache lives (a posted
        // call dies with its receiver).
        QMetaObject::invokeMethod(
            this, [this, path, image, detail]() { finished(path, image, detail); }, Qt::QueuedConnection);
      },
      requests_);
  requests_ = requests_ == std::numeric_limits<int>::max() ? 0 : requests_ + 1;
}

QString ThumbnailCache::detail(const QString& path) const {
  const Entry* entry = entries_.object(path);
  return entry ? entry->detail : QString();
}

void ThumbnailCache::finished(const QString& path, const QImage& image, const QString& detail) {
  loading_.remove(path);
  if (image.isNull()) log::processLog("ImageRow: no thumbnail for %s", path.toUtf8().constData());
  entries_.insert(path, new Entry{image, detail}, 1);
  emit thumbnailReady(path);
}

}  // namespace tovrelle::settings
