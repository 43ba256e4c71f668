#include "app/results_model.h"

#include <QColor>
#include <QFile>
#include <QFont>
#include <QImageReader>
#include <QLocale>
#include <QPainter>
#include <QPixmap>
#include <QSet>
#include <QStringList>
#include <utility>

namespace sorvend {
namespace {

constexpr quint64 kPreviewBit = quint64{1} << 63;

QString FileNameOf(const QString& path) {
  return path.mid(path.lastIndexOf(QLatin1Char('/')) + 1);
}

// Whether Qt's image plugins, as installed, read files of this extension.
bool ReadableExtension(const QString& extension) {
  static const QSet<QByteArray> formats = [] {
    QSet<QByteArray> set;
    for (const QByteArray& format : QImageReader::supportedImageFormats()) set.insert(format);
    return set;
  }();
  return formats.contains(extension.toLower().toLatin1());
}

// A group's icon: a square in the group's colour with the group's first character, drawn here
// so that it looks the same with every desktop theme and none.
QPixmap DrawIcon(QColor colour, const QString& glyph) {
  QPixmap pixmap(kThumbnailSide, kThumbnailSide);
  pixmap.fill(Qt::transparent);
  QPainter painter(&pixmap);
  painter.setRenderHint(QPainter::Antialiasing);
  painter.setPen(Qt::NoPen);
  painter.setBrush(colour);
  painter.drawRoundedRect(QRectF(4, 4, kThumbnailSide - 8, kThumbnailSide - 8), 6, 6);
  QFont font = painter.font();
  font.setPixelSize(kThumbnailSide / 2);
  font.setBold(true);
  painter.setFont(font);
  painter.setPen(Qt::white);
  painter.drawText(pixmap.rect(), Qt::AlignCenter, glyph);
  return pixmap;
}

QString OffsetText(std::int64_t offset) {
  return QStringLiteral("0x%1").arg(static_cast<qulonglong>(offset), 8, 16, QLatin1Char('0'));
}

// "zip 0x00000400 sprites/title.png › gzip 0x00000000": each container, outermost first, with
// where it starts in the bytes it was found in and, for an archive's entry, the entry's name.
QString WithinText(const std::vector<ContainerRef>& within) {
  QStringList steps;
  for (const ContainerRef& container : within) {
    QString step = QString::fromStdString(container.kind) + ' ' + OffsetText(container.offset);
    if (!container.entry.empty()) {
      step += ' ' + QFile::decodeName(QByteArray::fromStdString(container.entry));
    }
    steps << step;
  }
  return steps.join(QStringLiteral(" › "));
}

QString Number(std::int64_t n) {
  static const QLocale japanese(QLocale::Japanese, QLocale::Japan);
  return japanese.toString(static_cast<qlonglong>(n));
}

}  // namespace

QString SizeText(std::int64_t bytes) {
  static constexpr std::array<const char*, 5> kUnits = {"B", "KB", "MB", "GB", "TB"};
  if (bytes < 1024) return QString::number(bytes) + " B";
  double value = static_cast<double>(bytes);
  std::size_t unit = 0;
  while (value >= 1024 && unit + 1 < kUnits.size()) {
    value /= 1024;
    ++unit;
  }
  return QString::number(value, 'f', 1) + ' ' + kUnits[unit];
}

QString SummaryText(const ResultSummary& summary) {
  QString text = Number(summary.count) + QStringLiteral(" 件（");
  for (int g = 0; g < kGroupCount; ++g) {
    if (g > 0) text += QStringLiteral("・");
    text += QString::fromUtf8(GroupCaption(static_cast<KindGroup>(g))) + ' ' +
            Number(summary.perGroup[static_cast<std::size_t>(g)]);
  }
  return text + QStringLiteral("）合計 ") + SizeText(summary.totalSize);
}

ResultsModel::ResultsModel(QObject* parent, qsizetype thumbnailBytes)
    : QAbstractTableModel(parent),
      // Made with the list rather than once for the program: a pixmap must not outlive the
      // application object.
      icons_{DrawIcon(QColor(0x8e, 0x44, 0xad), QStringLiteral("楽")),
             DrawIcon(QColor(0x27, 0x80, 0xb9), QStringLiteral("音")),
             DrawIcon(QColor(0x27, 0xae, 0x60), QStringLiteral("画")),
             DrawIcon(QColor(0xd3, 0x54, 0x00), QStringLiteral("動")),
             DrawIcon(QColor(0x90, 0x90, 0x90), QStringLiteral("×"))},
      thumbnails_(thumbnailBytes) {
  flushTimer_.setSingleShot(true);
  flushTimer_.setInterval(kFlushInterval);
  connect(&flushTimer_, &QTimer::timeout, this, &ResultsModel::Flush);
  connect(&loader_, &ThumbnailLoader::Done, this, &ResultsModel::OnLooked);
  connect(&loader_, &ThumbnailLoader::Dropped, this, &ResultsModel::OnDropped);
  // Loads the image plugins now rather than at the first output, in the middle of a scan.
  ReadableExtension(QString());
}

ResultRow ResultsModel::RowOf(const OutputRecord& record, const QString& source) {
  ResultRow row;
  row.path = QFile::decodeName(QByteArray::fromStdString(record.name));
  row.source = source;
  row.offset = record.offset;
  row.size = record.size;
  row.cut = record.cut;
  row.within = WithinText(record.within);
  const QString extension = QString::fromStdString(record.kind);
  const std::optional<Kind> kind = KindOfExtension("." + record.kind);
  if (kind) {
    row.kindCaption = QString::fromUtf8(RecordOf(*kind).caption);
    row.group = RecordOf(*kind).group;
  } else {
    row.kindCaption = extension;
  }
  row.picture = kind && row.group == KindGroup::Picture && ReadableExtension(extension);
  return row;
}

void ResultsModel::Add(ResultRow row) {
  queued_.push_back(std::move(row));
  if (!flushTimer_.isActive()) flushTimer_.start();
}

void ResultsModel::Flush() {
  flushTimer_.stop();
  if (queued_.empty()) return;
  const int first = static_cast<int>(rows_.size());
  beginInsertRows({}, first, first + static_cast<int>(queued_.size()) - 1);
  for (ResultRow& row : queued_) {
    ++summary_.count;
    ++summary_.perGroup[static_cast<std::size_t>(row.group)];
    summary_.totalSize += row.size;
    rows_.push_back(std::move(row));
  }
  queued_.clear();
  states_.resize(rows_.size(), State::Unchecked);
  endInsertRows();
  emit SummaryChanged();
}

void ResultsModel::Clear() {
  beginResetModel();
  flushTimer_.stop();
  rows_.clear();
  queued_.clear();
  states_.clear();
  thumbnails_.clear();
  loader_.DropWaiting();
  ++generation_;
  summary_ = {};
  endResetModel();
  emit SummaryChanged();
}

void ResultsModel::Recheck() {
  thumbnails_.clear();
  loader_.DropWaiting();
  std::fill(states_.begin(), states_.end(), State::Unchecked);
  if (!rows_.empty()) emit dataChanged(index(0, 0), index(rowCount() - 1, kResultColumnCount - 1));
}

void ResultsModel::MarkMissing(int row) {
  if (row < 0 || row >= rowCount()) return;
  states_[static_cast<std::size_t>(row)] = State::Missing;
  thumbnails_.remove(row);
  emit dataChanged(index(row, 0), index(row, kResultColumnCount - 1));
}

bool ResultsModel::Missing(int row) const {
  return states_.at(static_cast<std::size_t>(row)) == State::Missing;
}

QImage ResultsModel::Thumbnail(int row) const {
  const QImage* image = thumbnails_.object(row);
  return image != nullptr ? *image : QImage();
}

void ResultsModel::RequestPreview(int row, QSize bound) {
  const ResultRow& r = Row(row);
  loader_.Request({KeyOf(row, true), r.path, r.size, r.picture, bound});
}

quint64 ResultsModel::KeyOf(int row, bool preview) const {
  return (preview ? kPreviewBit : 0) | quint64{generation_ & 0x7fffffffu} << 32 |
         static_cast<quint32>(row);
}

void ResultsModel::OnLooked(quint64 key, const LookResult& result) {
  const int row = static_cast<int>(key & 0xffffffffu);
  if (KeyOf(row, (key & kPreviewBit) != 0) != key || row >= rowCount()) return;  // earlier batch
  State& state = states_[static_cast<std::size_t>(row)];
  if ((key & kPreviewBit) != 0) {
    if (result.outcome == LookOutcome::Missing) MarkMissing(row);
    emit PreviewReady(row, result);
    return;
  }
  if (result.outcome == LookOutcome::Missing) {
    state = State::Missing;
  } else if (result.outcome == LookOutcome::Picture &&
             thumbnails_.insert(row, new QImage(result.image), result.image.sizeInBytes())) {
    state = State::Thumbnail;
  } else {
    state = State::Present;
  }
  emit dataChanged(index(row, 0), index(row, kResultColumnCount - 1));
}

void ResultsModel::OnDropped(quint64 key) {
  const int row = static_cast<int>(key & 0xffffffffu);
  if (KeyOf(row, false) != key || row >= rowCount()) return;
  State& state = states_[static_cast<std::size_t>(row)];
  if (state == State::Pending) state = State::Unchecked;
}

QVariant ResultsModel::Decoration(int row) const {
  const ResultRow& r = rows_[static_cast<std::size_t>(row)];
  State& state = states_[static_cast<std::size_t>(row)];
  if (state == State::Thumbnail) {
    if (const QImage* image = thumbnails_.object(row)) return *image;
    state = State::Unchecked;  // evicted: made again now that the row is seen
  }
  if (state == State::Missing) return icons_[kGroupCount];
  if (state == State::Unchecked) {
    state = State::Pending;
    loader_.Request(
        {KeyOf(row, false), r.path, r.size, r.picture, QSize(kThumbnailSide, kThumbnailSide)});
  }
  return icons_[static_cast<std::size_t>(r.group)];
}

int ResultsModel::rowCount(const QModelIndex& parent) const {
  return parent.isValid() ? 0 : static_cast<int>(rows_.size());
}

int ResultsModel::columnCount(const QModelIndex& parent) const {
  return parent.isValid() ? 0 : kResultColumnCount;
}

QVariant ResultsModel::data(const QModelIndex& index, int role) const {
  if (!index.isValid() || index.row() >= rowCount()) return {};
  const int row = index.row();
  const ResultRow& r = rows_[static_cast<std::size_t>(row)];
  const bool missing = states_[static_cast<std::size_t>(row)] == State::Missing;
  switch (role) {
    case Qt::DisplayRole:
      switch (index.column()) {
        case kNameColumn:
          return missing ? FileNameOf(r.path) + QStringLiteral("（見つかりません）")
                         : FileNameOf(r.path);
        case kKindColumn:
          return r.kindCaption + QStringLiteral("（") + QString::fromUtf8(GroupCaption(r.group)) +
                 QStringLiteral("）");
        case kSizeColumn:
          return Number(r.size);
        case kSourceColumn:
          return r.source;
        case kOffsetColumn:
          return OffsetText(r.offset);
        case kCutColumn:
          return r.cut ? QStringLiteral("途切れ") : QString();
        case kWithinColumn:
          return r.within;
        default:
          return {};
      }
    case Qt::DecorationRole:
      if (index.column() == kThumbnailColumn) return Decoration(row);
      return {};
    case Qt::ToolTipRole:
      if (missing) return QStringLiteral("ファイルが見つからないか、書き出した後に変更されました");
      if (index.column() == kNameColumn) return r.path;
      if (index.column() == kSourceColumn) return r.source;
      if (index.column() == kOffsetColumn) return Number(r.offset);
      return {};
    case Qt::TextAlignmentRole:
      if (index.column() == kSizeColumn || index.column() == kOffsetColumn) {
        return int{Qt::AlignRight | Qt::AlignVCenter};
      }
      return int{Qt::AlignLeft | Qt::AlignVCenter};
    case Qt::ForegroundRole:
      if (missing) return QColor(Qt::gray);
      return {};
    case kPathRole:
      return r.path;
    case kGroupRole:
      return static_cast<int>(r.group);
    case kSourceRole:
      return r.source;
    case kMissingRole:
      return missing;
    default:
      return {};
  }
}

QVariant ResultsModel::headerData(int section, Qt::Orientation orientation, int role) const {
  if (orientation != Qt::Horizontal || role != Qt::DisplayRole) return {};
  static const std::array<const char*, kResultColumnCount> kHeaders = {
      "", "名前", "種類", "サイズ", "元のファイル", "位置", "途切れ", "アーカイブ内の場所"};
  if (section < 0 || section >= kResultColumnCount) return {};
  return QString::fromUtf8(kHeaders[static_cast<std::size_t>(section)]);
}

void ResultsFilter::SetGroupShown(KindGroup group, bool shown) {
  bool& flag = shown_[static_cast<std::size_t>(group)];
  if (flag == shown) return;
  flag = shown;
  invalidateFilter();
}

bool ResultsFilter::GroupShown(KindGroup group) const {
  return shown_[static_cast<std::size_t>(group)];
}

void ResultsFilter::SetText(const QString& text) {
  if (text == text_) return;
  text_ = text;
  invalidateFilter();
}

bool ResultsFilter::filterAcceptsRow(int sourceRow, const QModelIndex&) const {
  const auto* model = static_cast<const ResultsModel*>(sourceModel());
  const ResultRow& row = model->Row(sourceRow);
  if (!shown_[static_cast<std::size_t>(row.group)]) return false;
  return text_.isEmpty() || FileNameOf(row.path).contains(text_, Qt::CaseInsensitive) ||
         row.source.contains(text_, Qt::CaseInsensitive);
}

}  // namespace sorvend
