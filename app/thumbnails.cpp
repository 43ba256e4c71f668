#include "app/thumbnails.h"

#include <QFileInfo>
#include <QImageReader>
#include <algorithm>
#include <utility>

namespace sorvend {

bool TooLargeToDecode(QSize size) {
  return std::int64_t{size.width()} * size.height() > kMaxDecodedPixels;
}

namespace {

// An icon file holds the same picture at several sizes, often the smallest first: the largest
// makes the best thumbnail and preview. Other formats' further images are animation frames or
// pages of the same size, and stepping through them would decode them.
void SelectLargestIcon(QImageReader& reader) {
  const QByteArray format = reader.format();
  if (format != "ico" && format != "cur" && format != "icns") return;
  const int count = std::min(reader.imageCount(), 64);
  int best = 0;
  std::int64_t bestArea = -1;
  for (int i = 0; i < count && reader.jumpToImage(i); ++i) {
    const QSize size = reader.size();
    const std::int64_t area = std::int64_t{size.width()} * size.height();
    if (area > bestArea) {
      best = i;
      bestArea = area;
    }
  }
  reader.jumpToImage(best);
}

}  // namespace

LookResult LookAt(const QString& path, std::int64_t size, bool picture, QSize bound) {
  LookResult result;
  const QFileInfo info(path);
  if (!info.isFile() || info.size() != size) return result;
  if (!picture) {
    result.outcome = LookOutcome::NotPicture;
    return result;
  }
  QImageReader reader(path);
  reader.setAutoTransform(true);
  SelectLargestIcon(reader);
  const QSize full = reader.size();
  if (TooLargeToDecode(full)) {
    result.outcome = LookOutcome::TooLarge;
    return result;
  }
  // A reader that cannot tell the size first is held to what a picture of the largest size
  // allowed takes, so that nothing larger is ever decoded.
  reader.setAllocationLimit(static_cast<int>((kMaxDecodedPixels * 4 >> 20) + 1));
  if (full.isValid() && (full.width() > bound.width() || full.height() > bound.height()) &&
      reader.supportsOption(QImageIOHandler::ScaledSize)) {
    // JPEG decodes straight at the smaller size, which is far quicker than decoding it whole.
    reader.setScaledSize(full.scaled(bound, Qt::KeepAspectRatio).expandedTo(QSize(1, 1)));
  }
  QImage image = reader.read();
  if (image.isNull()) {
    result.outcome = LookOutcome::Undecodable;
    return result;
  }
  if (image.width() > bound.width() || image.height() > bound.height()) {
    image = image.scaled(bound, Qt::KeepAspectRatio, Qt::SmoothTransformation);
  }
  result.outcome = LookOutcome::Picture;
  result.image = std::move(image);
  return result;
}

ThumbnailLoader::ThumbnailLoader(QObject* parent) : QObject(parent) {
  // One worker: the scan runs on the window's thread and must keep most of the machine.
  pool_.setMaxThreadCount(1);
}

ThumbnailLoader::~ThumbnailLoader() {
  waiting_.clear();
  pool_.waitForDone();
}

void ThumbnailLoader::Request(Job job) {
  waiting_.push_back(std::move(job));
  if (waiting_.size() > kMaxWaiting) {
    const quint64 dropped = waiting_.front().key;
    waiting_.pop_front();
    emit Dropped(dropped);
  }
  StartNext();
}

void ThumbnailLoader::DropWaiting() {
  waiting_.clear();
}

void ThumbnailLoader::StartNext() {
  if (running_ || waiting_.empty()) return;
  running_ = true;
  Job job = std::move(waiting_.back());
  waiting_.pop_back();
  pool_.start([this, job = std::move(job)] {
    LookResult result = LookAt(job.path, job.size, job.picture, job.bound);
    // Delivered on the window's thread; dropped with this object if it is gone by then.
    QMetaObject::invokeMethod(
        this,
        [this, key = job.key, result = std::move(result)] {
          running_ = false;
          emit Done(key, result);
          StartNext();
        },
        Qt::QueuedConnection);
  });
}

}  // namespace sorvend
