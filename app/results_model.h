// The outputs of one batch as a table for the results window: one row per output, added while
// the batch runs; a thumbnail for each picture that Qt's image plugins read, the group's icon
// for everything else; and the filter by group and text the window puts in front of it.
#pragma once

#include <QAbstractTableModel>
#include <QCache>
#include <QImage>
#include <QPixmap>
#include <QSortFilterProxyModel>
#include <QString>
#include <QTimer>
#include <array>
#include <cstdint>
#include <vector>

#include "app/thumbnails.h"
#include "engine/kinds.h"
#include "engine/scan_context.h"

namespace sorvend {

enum ResultColumn : int {
  kThumbnailColumn,
  kNameColumn,
  kKindColumn,
  kSizeColumn,
  kSourceColumn,
  kOffsetColumn,
  kCutColumn,
  kWithinColumn,
  kResultColumnCount
};

// Data roles beyond Qt's own.
inline constexpr int kPathRole = Qt::UserRole;         // QString: the output's full path
inline constexpr int kGroupRole = Qt::UserRole + 1;    // int: its KindGroup
inline constexpr int kSourceRole = Qt::UserRole + 2;   // QString: the input's full path
inline constexpr int kMissingRole = Qt::UserRole + 3;  // bool: found gone or changed on disk

inline constexpr int kGroupCount = 4;
// The thumbnails' side, and how many bytes of them are kept whatever the batch's size.
inline constexpr int kThumbnailSide = 48;
inline constexpr qsizetype kThumbnailCacheBytes = qsizetype{64} << 20;

struct ResultSummary {
  int count = 0;
  std::array<int, kGroupCount> perGroup{};  // in the order of KindGroup
  std::int64_t totalSize = 0;
};

// "1,234 件（音楽 0・音声 12・画像 1,200・動画 22）合計 12.3 MB"
QString SummaryText(const ResultSummary& summary);
// Bytes in the largest unit that keeps a number of at least 1, one decimal: "512 B", "1.5 KB".
QString SizeText(std::int64_t bytes);

// What the table shows of one output.
struct ResultRow {
  QString path;
  QString source;
  QString within;
  std::int64_t offset = 0;
  std::int64_t size = 0;
  QString kindCaption;
  KindGroup group = KindGroup::Picture;
  bool picture = false;  // a kind whose extension Qt's image plugins read
  bool cut = false;
};

class ResultsModel : public QAbstractTableModel {
  Q_OBJECT

 public:
  // Rows wait at most this long after their output was written before they are added, so that
  // a burst of small outputs costs the view one update, not one each.
  static constexpr int kFlushInterval = 100;

  explicit ResultsModel(QObject* parent = nullptr, qsizetype thumbnailBytes = kThumbnailCacheBytes);

  // The row of one output, as the engine reported it; `source` is the input's path.
  static ResultRow RowOf(const OutputRecord& record, const QString& source);
  // Queues a row; it is added with the next Flush, which a timer runs.
  void Add(ResultRow row);
  // Adds every queued row now.
  void Flush();
  // Forgets every row and thumbnail: a new batch begins.
  void Clear();
  // Forgets what was found on disk, so that each row is looked at again when next shown.
  void Recheck();
  // Marks a row whose file was found gone.
  void MarkMissing(int row);

  const ResultRow& Row(int row) const { return rows_[static_cast<std::size_t>(row)]; }
  const ResultSummary& Summary() const { return summary_; }
  bool Missing(int row) const;
  // The cached thumbnail of a row, null when there is none (yet).
  QImage Thumbnail(int row) const;
  qsizetype ThumbnailBytes() const { return thumbnails_.totalCost(); }
  qsizetype ThumbnailLimit() const { return thumbnails_.maxCost(); }
  ThumbnailLoader& Loader() { return loader_; }

  // Asks for a picture of `row` that fits `bound`; PreviewReady answers.
  void RequestPreview(int row, QSize bound);

  int rowCount(const QModelIndex& parent = {}) const override;
  int columnCount(const QModelIndex& parent = {}) const override;
  QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
  QVariant headerData(int section, Qt::Orientation orientation,
                      int role = Qt::DisplayRole) const override;

 signals:
  void SummaryChanged();
  void PreviewReady(int row, sorvend::LookResult result);

 private:
  // What is known of a row's file on disk.
  enum class State : std::uint8_t { Unchecked, Pending, Present, Thumbnail, Missing };

  QVariant Decoration(int row) const;
  void OnLooked(quint64 key, const LookResult& result);
  void OnDropped(quint64 key);
  quint64 KeyOf(int row, bool preview) const;

  // The groups' icons in the order of KindGroup, then the icon of a missing file.
  std::array<QPixmap, kGroupCount + 1> icons_;
  std::vector<ResultRow> rows_;
  std::vector<ResultRow> queued_;
  // Per row; changed from data(), which the view calls for the rows it paints.
  mutable std::vector<State> states_;
  mutable QCache<int, QImage> thumbnails_;
  mutable ThumbnailLoader loader_;
  ResultSummary summary_;
  QTimer flushTimer_;
  // Bumped by Clear, so that a result for a row of an earlier batch is not taken for one of
  // this batch's.
  quint32 generation_ = 0;
};

// The window's filter: the groups ticked, and a text that the output's name or its source must
// contain (any case).
class ResultsFilter : public QSortFilterProxyModel {
  Q_OBJECT

 public:
  using QSortFilterProxyModel::QSortFilterProxyModel;
  void SetGroupShown(KindGroup group, bool shown);
  bool GroupShown(KindGroup group) const;
  void SetText(const QString& text);

 protected:
  bool filterAcceptsRow(int sourceRow, const QModelIndex& sourceParent) const override;

 private:
  std::array<bool, kGroupCount> shown_{true, true, true, true};
  QString text_;
};

}  // namespace sorvend
