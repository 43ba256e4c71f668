#include "app/results_window.h"

#include <QAction>
#include <QBoxLayout>
#include <QCheckBox>
#include <QClipboard>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QDesktopServices>
#include <QFileInfo>
#include <QGuiApplication>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QLocale>
#include <QMenu>
#include <QSplitter>
#include <QTableView>
#include <algorithm>

namespace sorvend {
namespace {

constexpr std::array<const char*, kGroupCount> kGroupSwitchCaptions = {"音楽(&M)", "音声(&S)",
                                                                       "画像(&P)", "動画(&V)"};
// Column widths at the start; the user can change them.
constexpr std::array<int, kResultColumnCount> kColumnWidths = {
    kThumbnailSide + 8, 110, 100, 70, 170, 96, 50, 160};
// The preview is asked for at least this size, so that a small pane that grows still shows it
// sharp.
constexpr int kPreviewMinSide = 256;

// The file managers of the free desktops (Nautilus, Dolphin, Nemo, Caja, Thunar, ...) select a
// file in its folder on this call. The call is not waited for: a file manager that is not
// running yet is started by the bus, which may take seconds.
bool RevealWithFileManager(const QString& path, QObject* context, std::function<void()> fallback) {
  QDBusConnection bus = QDBusConnection::sessionBus();
  if (!bus.isConnected()) return false;
  QDBusMessage call = QDBusMessage::createMethodCall("org.freedesktop.FileManager1",
                                                     "/org/freedesktop/FileManager1",
                                                     "org.freedesktop.FileManager1", "ShowItems");
  call << QStringList{QUrl::fromLocalFile(path).toString()} << QString();
  auto* watcher = new QDBusPendingCallWatcher(bus.asyncCall(call), context);
  QObject::connect(watcher, &QDBusPendingCallWatcher::finished, context,
                   [watcher, fallback = std::move(fallback)] {
                     if (watcher->isError()) fallback();
                     watcher->deleteLater();
                   });
  return true;
}

}  // namespace

ResultsWindow::ResultsWindow(ResultsModel* model, QWidget* parent)
    : QWidget(parent, Qt::Window), model_(model) {
  OpenUrl = [](const QUrl& url) { return QDesktopServices::openUrl(url); };
  RevealFile = [this](const QString& path) {
    const QUrl folder = QUrl::fromLocalFile(QFileInfo(path).absolutePath());
    return RevealWithFileManager(path, this, [this, folder] { OpenUrl(folder); });
  };
  setObjectName("ResultsWindow");
  setWindowTitle("結果一覧");
  QFont font;
  // The main window's faces, so that the Japanese captions look alike in both.
  font.setFamilies({"ＭＳ Ｐゴシック", "MS PGothic", "IPAPGothic", "Noto Sans CJK JP"});
  font.setStyleHint(QFont::SansSerif);
  font.setPixelSize(12);
  setFont(font);
  resize(960, 560);

  Filter = new ResultsFilter(this);
  Filter->setSourceModel(model_);

  auto* filterBar = new QHBoxLayout;
  for (int g = 0; g < kGroupCount; ++g) {
    auto* box = new QCheckBox(QString::fromUtf8(kGroupSwitchCaptions[g]), this);
    box->setChecked(true);
    const auto group = static_cast<KindGroup>(g);
    connect(box, &QCheckBox::toggled, this,
            [this, group](bool shown) { Filter->SetGroupShown(group, shown); });
    GroupSwitches[static_cast<std::size_t>(g)] = box;
    filterBar->addWidget(box);
  }
  filterBar->addSpacing(16);
  auto* findLabel = new QLabel("検索(&F):", this);
  FilterText = new QLineEdit(this);
  FilterText->setObjectName("FilterText");
  FilterText->setPlaceholderText("名前か元のファイルの一部");
  FilterText->setClearButtonEnabled(true);
  findLabel->setBuddy(FilterText);
  connect(FilterText, &QLineEdit::textChanged, Filter, &ResultsFilter::SetText);
  filterBar->addWidget(findLabel);
  filterBar->addWidget(FilterText, 1);

  Table = new QTableView(this);
  Table->setObjectName("ResultsTable");
  Table->setModel(Filter);
  Table->setSelectionBehavior(QAbstractItemView::SelectRows);
  Table->setSelectionMode(QAbstractItemView::ExtendedSelection);
  Table->setEditTriggers(QAbstractItemView::NoEditTriggers);
  Table->setWordWrap(false);
  // Long source paths keep both their start and their file name in view.
  Table->setTextElideMode(Qt::ElideMiddle);
  Table->setIconSize(QSize(kThumbnailSide, kThumbnailSide));
  Table->verticalHeader()->hide();
  // Every row the same height: the view then never measures rows, which keeps 100,000 of them
  // quick and asks for the thumbnails of the rows in view only.
  Table->verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
  Table->verticalHeader()->setDefaultSectionSize(kThumbnailSide + 4);
  Table->horizontalHeader()->setStretchLastSection(true);
  for (int c = 0; c < kResultColumnCount; ++c) Table->setColumnWidth(c, kColumnWidths[c]);
  Table->setContextMenuPolicy(Qt::CustomContextMenu);
  // Enter, and a double-click (or a single one where the desktop opens items so).
  connect(Table, &QAbstractItemView::activated, this,
          [this](const QModelIndex& index) { Open(Filter->mapToSource(index).row()); });

  PreviewPane = new QLabel(this);
  PreviewPane->setObjectName("PreviewPane");
  PreviewPane->setAlignment(Qt::AlignCenter);
  PreviewPane->setMinimumSize(160, 160);
  // The pane's size comes from the splitter, never from the picture it shows.
  PreviewPane->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Ignored);
  PreviewPane->setWordWrap(true);
  PreviewPane->setFrameShape(QFrame::StyledPanel);

  auto* splitter = new QSplitter(Qt::Horizontal, this);
  splitter->addWidget(Table);
  splitter->addWidget(PreviewPane);
  splitter->setStretchFactor(0, 3);
  splitter->setStretchFactor(1, 1);
  splitter->setSizes({680, 280});

  SummaryLine = new QLabel(this);
  SummaryLine->setObjectName("SummaryLine");

  auto* layout = new QVBoxLayout(this);
  layout->addLayout(filterBar);
  layout->addWidget(splitter, 1);
  layout->addWidget(SummaryLine);

  ContextMenu = new QMenu(this);
  OpenItem = ContextMenu->addAction("開く(&O)");
  FolderItem = ContextMenu->addAction("フォルダーを開く(&D)");
  CopyItem = ContextMenu->addAction("パスをコピー(&C)");
  connect(OpenItem, &QAction::triggered, this, &ResultsWindow::OpenCurrent);
  connect(FolderItem, &QAction::triggered, this, &ResultsWindow::ShowCurrentInFolder);
  connect(CopyItem, &QAction::triggered, this, &ResultsWindow::CopySelectedPaths);
  connect(Table, &QWidget::customContextMenuRequested, this, [this](const QPoint& at) {
    if (!Table->indexAt(at).isValid()) return;
    ContextMenu->popup(Table->viewport()->mapToGlobal(at));
  });

  connect(model_, &ResultsModel::SummaryChanged, this, &ResultsWindow::UpdateSummary);
  connect(Filter, &QAbstractItemModel::rowsInserted, this, &ResultsWindow::UpdateSummary);
  connect(Filter, &QAbstractItemModel::rowsRemoved, this, &ResultsWindow::UpdateSummary);
  connect(Filter, &QAbstractItemModel::modelReset, this, &ResultsWindow::UpdateSummary);
  connect(Filter, &QAbstractItemModel::layoutChanged, this, &ResultsWindow::UpdateSummary);
  connect(Table->selectionModel(), &QItemSelectionModel::currentRowChanged, this,
          &ResultsWindow::CurrentChanged);
  connect(model_, &QAbstractItemModel::modelReset, this, &ResultsWindow::CurrentChanged);
  connect(model_, &ResultsModel::PreviewReady, this, &ResultsWindow::ShowPreview);
  UpdateSummary();
}

QStringList ResultsWindow::SelectedPaths() const {
  QModelIndexList rows = Table->selectionModel()->selectedRows();
  std::sort(rows.begin(), rows.end(),
            [](const QModelIndex& a, const QModelIndex& b) { return a.row() < b.row(); });
  QStringList paths;
  for (const QModelIndex& index : rows) paths << index.data(kPathRole).toString();
  return paths;
}

int ResultsWindow::CurrentRow() const {
  const QModelIndex index = Filter->mapToSource(Table->currentIndex());
  return index.isValid() ? index.row() : -1;
}

void ResultsWindow::OpenCurrent() {
  Open(CurrentRow());
}

void ResultsWindow::Open(int row) {
  if (row < 0 || row >= model_->rowCount()) return;
  const ResultRow& r = model_->Row(row);
  const QFileInfo file(r.path);
  // Not what was written: another program's file may have taken its name.
  if (!file.isFile() || file.size() != r.size) {
    model_->MarkMissing(row);
    return;
  }
  OpenUrl(QUrl::fromLocalFile(r.path));
}

void ResultsWindow::ShowCurrentInFolder() {
  const int row = CurrentRow();
  if (row < 0) return;
  const QString& path = model_->Row(row).path;
  if (!RevealFile(path)) OpenUrl(QUrl::fromLocalFile(QFileInfo(path).absolutePath()));
}

void ResultsWindow::CopySelectedPaths() {
  const QStringList paths = SelectedPaths();
  if (!paths.isEmpty()) QGuiApplication::clipboard()->setText(paths.join('\n'));
}

void ResultsWindow::UpdateSummary() {
  QString text = SummaryText(model_->Summary());
  const int shown = Filter->rowCount();
  if (shown != model_->rowCount()) {
    text += QStringLiteral("　表示 ") + QLocale(QLocale::Japanese, QLocale::Japan).toString(shown) +
            QStringLiteral(" 件");
  }
  SummaryLine->setText(text);
}

void ResultsWindow::CurrentChanged() {
  previewRow_ = CurrentRow();
  preview_ = QImage();
  PreviewPane->clear();
  if (previewRow_ < 0) return;
  if (!model_->Row(previewRow_).picture) {
    PreviewPane->setText("プレビューは画像のみです");
    return;
  }
  PreviewPane->setText("読み込み中…");
  model_->RequestPreview(previewRow_, PreviewPane->contentsRect().size().expandedTo(
                                          QSize(kPreviewMinSide, kPreviewMinSide)));
}

void ResultsWindow::ShowPreview(int row, const LookResult& result) {
  if (row != previewRow_) return;
  switch (result.outcome) {
    case LookOutcome::Picture:
      preview_ = result.image;
      FitPreview();
      return;
    case LookOutcome::TooLarge:
      PreviewPane->setText("大きすぎる画像なので表示しません（5,000 万画素超）");
      return;
    case LookOutcome::Undecodable:
      PreviewPane->setText("表示できない画像です");
      return;
    case LookOutcome::Missing:
      PreviewPane->setText("ファイルが見つかりません");
      return;
    case LookOutcome::NotPicture:
      PreviewPane->setText("プレビューは画像のみです");
      return;
  }
}

void ResultsWindow::FitPreview() {
  if (preview_.isNull()) return;
  const QSize room = PreviewPane->contentsRect().size();
  const QSize size = preview_.size();
  QImage shown;
  if (size.width() <= room.width() && size.height() <= room.height()) {
    // Small pictures (icons, sprites) grow by whole steps, which keeps their pixels sharp.
    const int factor =
        std::max(1, std::min(room.width() / size.width(), room.height() / size.height()));
    shown = preview_.scaled(size * factor, Qt::KeepAspectRatio, Qt::FastTransformation);
  } else {
    shown = preview_.scaled(room, Qt::KeepAspectRatio, Qt::SmoothTransformation);
  }
  PreviewPane->setPixmap(QPixmap::fromImage(shown));
}

void ResultsWindow::showEvent(QShowEvent* event) {
  // Files may have been deleted or changed while the window was closed.
  model_->Recheck();
  QWidget::showEvent(event);
}

void ResultsWindow::resizeEvent(QResizeEvent* event) {
  QWidget::resizeEvent(event);
  FitPreview();
}

}  // namespace sorvend
