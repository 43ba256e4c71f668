// Looks at outputs on disk off the window's thread: whether each is still there as it was
// written, and for a picture a small image of it. One worker, newest request first, so that the
// rows the user is looking at now come before those scrolled past.
#pragma once

#include <QImage>
#include <QObject>
#include <QSize>
#include <QString>
#include <QThreadPool>
#include <cstdint>
#include <deque>

namespace sorvend {

// Pictures above this many pixels are never decoded: their group icon stays. Decoded at 4 bytes
// a pixel they would take 200 MB and more each.
inline constexpr std::int64_t kMaxDecodedPixels = 50'000'000;

// Whether a picture of `size` (as its header gives it, before decoding) is too large to decode.
bool TooLargeToDecode(QSize size);

// What a look at one output found.
enum class LookOutcome : std::uint8_t {
  Missing,      // gone, or no longer of the size that was written
  NotPicture,   // there; not a picture, so its group icon stands for it
  TooLarge,     // a picture above kMaxDecodedPixels
  Undecodable,  // a picture Qt cannot read
  Picture,      // the image is in the result
};

struct LookResult {
  LookOutcome outcome = LookOutcome::Missing;
  QImage image;
};

// Checks `path` against the `size` it was written with and, for a picture, reads an image that
// fits into `bound` (scaled down, aspect kept). Pictures are read only after their header gave
// their size.
LookResult LookAt(const QString& path, std::int64_t size, bool picture, QSize bound);

class ThumbnailLoader : public QObject {
  Q_OBJECT

 public:
  struct Job {
    quint64 key = 0;
    QString path;
    std::int64_t size = 0;
    bool picture = false;
    QSize bound;
  };

  // Requests waiting beyond this many drop the oldest: those rows have long left the view.
  static constexpr std::size_t kMaxWaiting = 256;

  explicit ThumbnailLoader(QObject* parent = nullptr);
  // Waits for the job in progress; its result is not delivered.
  ~ThumbnailLoader() override;

  // Queues a job ahead of all waiting ones.
  void Request(Job job);
  // Forgets every waiting job (a new batch); the one in progress still reports.
  void DropWaiting();
  bool Idle() const { return !running_ && waiting_.empty(); }

 signals:
  void Done(quint64 key, sorvend::LookResult result);
  // A waiting job given up to make room; ask again when the row is seen.
  void Dropped(quint64 key);

 private:
  void StartNext();

  QThreadPool pool_;
  std::deque<Job> waiting_;  // the newest at the back
  bool running_ = false;
};

}  // namespace sorvend
