#include "app/form1.h"

#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QCloseEvent>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFile>
#include <QFileDialog>
#include <QLayout>
#include <QMenu>
#include <QMenuBar>
#include <QMessageBox>
#include <QMimeData>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QTimer>
#include <algorithm>
#include <limits>
#include <utility>
#include <vector>

#include "app/results_model.h"
#include "app/results_window.h"
#include "engine/batch.h"
#include "engine/scan.h"

namespace {

using sorvend::Kind;

// The client area as designed, below the menu bar.
constexpr int kClientWidth = 226;
constexpr int kClientHeight = 212;

// The engine accounts this many bytes of work between two KeepResponsive calls; those calls
// look at the clock and let events run at most once per kEventGap. So the window answers within
// a few milliseconds even where carvers are slow, while at full scan speed only one clock read
// per 16 KiB and a few hundred event passes a second are added to the scan.
constexpr std::int64_t kResponsiveInterval = std::int64_t{16} << 10;
constexpr auto kEventGap = std::chrono::milliseconds(3);

struct SwitchLayout {
  QCheckBox* TForm1::*field;
  const char* name;
  Kind kind;
  int left;
  int top;
  const char* hint;
};

// In tab order, which is also the order of Kind; on screen they stand in three columns.
constexpr std::array<SwitchLayout, sorvend::kClassicKindCount> kSwitches = {{
    {&TForm1::CBBmp, "CBBmp", Kind::Bmp, 8, 120, "ビットマップ画像"},
    {&TForm1::CBAvi, "CBAvi", Kind::Avi, 152, 120, "AudioVideoInterleave"},
    {&TForm1::CBWav, "CBWav", Kind::Wav, 80, 120, "音声"},
    {&TForm1::CBAni, "CBAni", Kind::Ani, 8, 192, "アニメーションカーソル"},
    {&TForm1::CBJpg, "CBJpg", Kind::Jpg, 8, 136, "JPEG画像"},
    {&TForm1::CBMov, "CBMov", Kind::Mov, 152, 136, "QuickTimeMovie"},
    {&TForm1::CBPng, "CBPng", Kind::Png, 8, 152, "PortableNetworkGraphics画像"},
    {&TForm1::CBMp3, "CBMp3", Kind::Mp3, 80, 136, "MPEG-1 Audio Layer-III"},
    {&TForm1::CBGif, "CBGif", Kind::Gif, 8, 168, "The G. I. F.画像"},
    {&TForm1::CBOgg, "CBOgg", Kind::Ogg, 80, 152, "Ogg Vorbis"},
}};
constexpr int kSwitchWidth = 57;
constexpr int kSwitchHeight = 17;

}  // namespace

namespace sorvend {

int ProgressPercent(std::int64_t position, std::int64_t fileSize) {
  if (position >= fileSize) return 100;  // also an empty file
  if (position <= 0) return 0;
  // Position * 101 fits 64 bits for every file below 2^56 bytes; larger sizes are scaled down
  // together, which leaves the percentage as it is.
  while (fileSize > std::numeric_limits<std::int64_t>::max() / 101) {
    fileSize >>= 1;
    position >>= 1;
  }
  return static_cast<int>(std::min<std::int64_t>(100, position * 101 / fileSize));
}

std::vector<std::string> LocalPathsOfUrls(const QList<QUrl>& urls) {
  std::vector<std::string> paths;
  for (const QUrl& url : urls) {
    if (!url.isLocalFile()) continue;
#if defined(Q_OS_UNIX)
    if (url.host().isEmpty()) {
      // A file name is bytes; the percent-encoded form keeps those that are not UTF-8, which
      // toLocalFile() would replace.
      const QByteArray raw =
          QByteArray::fromPercentEncoding(url.path(QUrl::FullyEncoded).toLatin1());
      if (!raw.isEmpty()) paths.push_back(raw.toStdString());
      continue;
    }
#endif
    const QString local = url.toLocalFile();
    if (!local.isEmpty()) paths.push_back(QFile::encodeName(local).toStdString());
  }
  return paths;
}

std::vector<std::string> PathsToQueue(const std::vector<std::string>& paths, bool thorough) {
  if (!thorough) return paths;
  std::vector<std::string> queued;
  for (const std::string& path : paths) {
    for (ListedPath& listed : ListFilesRecursively(path)) queued.push_back(std::move(listed.path));
  }
  return queued;
}

}  // namespace sorvend

TForm1::TForm1(std::string settingsPath, QWidget* parent)
    : QMainWindow(parent), settingsPath_(std::move(settingsPath)) {
  ExecuteOpenDialog = [this] { return RunOpenDialog1(); };
  ShowError = [this](const QString& text) { QMessageBox::critical(this, "Sorvend", text); };
  ctx_.Host = this;

  BuildLayout();
  Form1Creat();
  ctx_.SourceDir.clear();
  ctx_.OutName.clear();
  ctx_.OutExt.clear();
  setAcceptDrops(true);
}

TForm1::~TForm1() {
  // Before the list it shows, which is destroyed with the other children.
  delete ResultsWindow1;
}

void TForm1::BuildLayout() {
  setObjectName("Form1");
  setWindowTitle("Sorvend1");
  // A fixed single border: title bar, system menu, minimize and close, no maximize.
  setWindowFlags(Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                 Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint |
                 Qt::WindowCloseButtonHint);

  QPalette buttonFace = palette();
  buttonFace.setColor(QPalette::Window, buttonFace.color(QPalette::Button));
  setPalette(buttonFace);

  MainMenu1 = menuBar();
  MainMenu1->setObjectName("MainMenu1");
  F1 = MainMenu1->addMenu("ﾌｧｲﾙ(&F)");
  F1->setObjectName("F1");
  KO1 = F1->addAction("開く(&O)");
  KO1->setObjectName("KO1");
  KT1 = F1->addAction("徹底検索(&T)");
  KT1->setObjectName("KT1");
  KT1->setCheckable(true);
  KZ1 = F1->addAction("圧縮データの中も探す(&Z)");
  KZ1->setObjectName("KZ1");
  KZ1->setCheckable(true);
  KZ1->setChecked(true);
  N1 = F1->addSeparator();
  N1->setObjectName("N1");
  KX1 = F1->addAction("終了(&X)");
  KX1->setObjectName("KX1");
  connect(KO1, &QAction::triggered, this, &TForm1::KO1Click);
  connect(KX1, &QAction::triggered, this, &TForm1::KX1Click);
  BuildKindMenu();
  BuildResultsWindow();

  auto* client = new QWidget(this);
  client->setObjectName("ClientArea");
  client->setFixedSize(kClientWidth, kClientHeight);
  QFont font;
  // The designed face first, then proportional Japanese faces found on free desktops.
  font.setFamilies({"ＭＳ Ｐゴシック", "MS PGothic", "IPAPGothic", "Noto Sans CJK JP"});
  font.setStyleHint(QFont::SansSerif);
  font.setPixelSize(12);
  client->setFont(font);
  setCentralWidget(client);
  // The window takes the size of the menu bar and the client area, and the user cannot change it.
  layout()->setSizeConstraint(QLayout::SetFixedSize);

  ProgressBar1 = new QProgressBar(client);
  ProgressBar1->setObjectName("ProgressBar1");
  ProgressBar1->setGeometry(8, 0, 206, 16);
  ProgressBar1->setRange(0, 100);
  ProgressBar1->setValue(0);
  ProgressBar1->setTextVisible(false);

  Memo1 = new QPlainTextEdit(client);
  Memo1->setObjectName("Memo1");
  Memo1->setGeometry(8, 24, 209, 89);
  Memo1->setReadOnly(true);
  Memo1->setUndoRedoEnabled(false);
  Memo1->setLineWrapMode(QPlainTextEdit::WidgetWidth);
  Memo1->setWordWrapMode(QTextOption::WrapAtWordBoundaryOrAnywhere);
  Memo1->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  Memo1->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  // Dropped files belong to the window, not to the text.
  Memo1->setAcceptDrops(false);
  Memo1->viewport()->setAcceptDrops(false);

  QWidget* previous = Memo1;
  for (const auto& s : kSwitches) {
    auto* box = new QCheckBox(QString::fromUtf8(sorvend::RecordOf(s.kind).caption), client);
    box->setObjectName(s.name);
    box->setGeometry(s.left, s.top, kSwitchWidth, kSwitchHeight);
    box->setToolTip(QString::fromUtf8(s.hint));
    box->setChecked(true);
    this->*s.field = box;
    switches_[static_cast<int>(s.kind)] = box;
    setTabOrder(previous, box);
    previous = box;
  }

  OpenDialog1 = new QFileDialog(this);
  OpenDialog1->setObjectName("OpenDialog1");
  OpenDialog1->setAcceptMode(QFileDialog::AcceptOpen);
  OpenDialog1->setFileMode(QFileDialog::ExistingFiles);

  layout()->activate();

  Timer1 = new QTimer(this);
  Timer1->setObjectName("Timer1");
  Timer1->setInterval(10);
  connect(Timer1, &QTimer::timeout, this, &TForm1::Timer1Timer);
}

void TForm1::BuildKindMenu() {
  K1 = MainMenu1->addMenu("形式(&K)");
  K1->setObjectName("K1");
  // One submenu per group, led by an item for the whole group, with the kinds the ten switches
  // do not cover, in table order.
  for (const sorvend::KindGroup group : sorvend::kKindGroups) {
    std::vector<int> members;
    for (const sorvend::KindRecord& r : sorvend::kKinds) {
      if (!r.classic && r.group == group) members.push_back(static_cast<int>(r.kind));
    }
    if (members.empty()) continue;
    const QString caption = QString::fromUtf8(sorvend::GroupCaption(group));
    QMenu* sub = K1->addMenu(caption);
    QAction* whole = sub->addAction(caption + QString::fromUtf8("をすべて選択"));
    whole->setCheckable(true);
    whole->setChecked(true);
    sub->addSeparator();
    for (const int kind : members) {
      QAction* item = sub->addAction(QString::fromUtf8(sorvend::kKinds[kind].caption));
      item->setCheckable(true);
      item->setChecked(true);
      kindItems_[kind - sorvend::kClassicKindCount] = item;
      // The group's item is ticked exactly while all of the group are.
      connect(item, &QAction::toggled, whole, [this, whole, members] {
        whole->setChecked(std::all_of(members.begin(), members.end(), [this](int k) {
          return kindItems_[k - sorvend::kClassicKindCount]->isChecked();
        }));
      });
    }
    // A click on the group's item ticks all of the group when some were clear, else clears all.
    connect(whole, &QAction::triggered, this, [this, members](bool ticked) {
      for (const int k : members) kindItems_[k - sorvend::kClassicKindCount]->setChecked(ticked);
    });
  }
  const auto followThorough = [this](bool thorough) {
    KZ1->setEnabled(thorough);
    for (QAction* group : K1->actions()) {
      group->setEnabled(thorough);
      for (QAction* item : group->menu()->actions()) item->setEnabled(thorough);
    }
  };
  connect(KT1, &QAction::toggled, this, followThorough);
  followThorough(KT1->isChecked());
}

void TForm1::BuildResultsWindow() {
  V1 = MainMenu1->addMenu("表示(&V)");
  V1->setObjectName("V1");
  KR1 = V1->addAction("結果一覧(&R)");
  KR1->setObjectName("KR1");
  Results1 = new sorvend::ResultsModel(this);
  // A window of its own that closes with this one, as its child.
  ResultsWindow1 = new sorvend::ResultsWindow(Results1, this);
  connect(KR1, &QAction::triggered, this, [this] {
    resultsPlaced_ = true;
    ResultsWindow1->show();
    ResultsWindow1->raise();
    ResultsWindow1->activateWindow();
  });
}

void TForm1::Form1Creat() {
  ctx_.Flags = 0;
  Memo1->setPlainText(sorvend::kBanner);
  Memo1->appendPlainText(sorvend::kPrompt);
  FileQueue.clear();
  sorvend::LoadSettings(*this, settingsPath_);
  const sorvend::ResultsPlacement results = sorvend::LoadResultsPlacement(settingsPath_);
  if (results.placed) {
    ResultsWindow1->move(results.left, results.top);
    ResultsWindow1->resize(results.width, results.height);
  }
  resultsPlaced_ = results.placed || results.open;
  if (results.open) ResultsWindow1->show();
}

void TForm1::Form1DropFiles(const std::vector<std::string>& paths) {
  Guarded([&] { Enqueue(paths); });
}

void TForm1::KO1Click() {
  Guarded([&] {
    const std::vector<std::string> chosen = ExecuteOpenDialog();
    if (!chosen.empty()) Enqueue(chosen);
  });
}

void TForm1::Enqueue(const std::vector<std::string>& paths) {
  // KT1 cannot change while a batch runs, so it shows the profile of the batch that these
  // paths join or start.
  const std::vector<std::string> queued = sorvend::PathsToQueue(paths, KT1->isChecked());
  FileQueue.insert(FileQueue.end(), queued.begin(), queued.end());
  if (!Busy()) RunBatch();
}

void TForm1::KX1Click() {
  Guarded([&] { close(); });
}

std::vector<std::string> TForm1::RunOpenDialog1() {
  std::vector<std::string> paths;
  if (OpenDialog1->exec() != QDialog::Accepted) return paths;
  for (const QString& file : OpenDialog1->selectedFiles()) {
    paths.push_back(QFile::encodeName(file).toStdString());
  }
  return paths;
}

void TForm1::RunBatch() {
  ctx_.Flags |= sorvend::Flag::Busy;
  ctx_.profile = KT1->isChecked() ? sorvend::Profile::Thorough : sorvend::Profile::Classic;
  ctx_.unpacker = KT1->isChecked() && KZ1->isChecked() ? &unpacker_ : nullptr;
  KT1->setEnabled(false);
  KZ1->setEnabled(false);
  // Ends the batch however it ends: Busy must be clear for the next drop to start one.
  const auto endBatch = [this] {
    Results1->Flush();
    ctx_.Flags &= ~sorvend::Flag::Busy;
    KT1->setEnabled(true);
    KZ1->setEnabled(KT1->isChecked());
    Memo1->setPlainText(sorvend::kPrompt);
    FileQueue.clear();
  };
  try {
    Memo1->clear();
    ctx_.OutputCount = 0;
    Results1->Clear();
    // The count is read anew in every pass: paths queued during a scan join this batch.
    for (std::size_t i = 0; i < FileQueue.size(); ++i) {
      const std::string path = FileQueue[i];  // a copy: the queue may grow during the scan
      ctx_.SourceDir = sorvend::FolderPart(path);
      AppendLog(sorvend::FileLogLine(static_cast<int>(i + 1), static_cast<int>(FileQueue.size()),
                                     sorvend::NamePart(path)));
      source_ = QFile::decodeName(QByteArray::fromStdString(path));
      sorvend::ScanFile(ctx_, path);
    }
  } catch (...) {
    // A scan that failed half-way leaves nothing open behind it; the rest of the batch is
    // dropped, and the error goes on to the handler that started the batch.
    sorvend::CloseStreams(ctx_);
    Timer1->stop();
    ProgressBar1->setValue(0);
    endBatch();
    throw;
  }
  endBatch();
}

void TForm1::Timer1Timer() {
  Guarded([&] {
    const int percent = sorvend::ProgressPercent(ctx_.Position, ctx_.FileSize);
    if (percent > ProgressBar1->value()) ProgressBar1->setValue(percent);
  });
}

void TForm1::Form1Close() {
  sorvend::SaveSettings(*this, settingsPath_);
  sorvend::SaveResultsPlacement(
      {resultsPlaced_, ResultsWindow1->x(), ResultsWindow1->y(), ResultsWindow1->width(),
       ResultsWindow1->height(), ResultsWindow1->isVisible()},
      settingsPath_);
  ResultsWindow1->close();
  sorvend::CloseStreams(ctx_);
  FileQueue.clear();
}

void TForm1::closeEvent(QCloseEvent* event) {
  bool closed = false;
  Guarded([&] {
    Form1Close();
    closed = true;
  });
  if (!closed) {
    event->ignore();
    return;
  }
  event->accept();
  // Remembered by the main loop when this runs inside a scan; the loop ends once the batch
  // has unwound.
  QCoreApplication::quit();
}

void TForm1::dragEnterEvent(QDragEnterEvent* event) {
  if (!sorvend::LocalPathsOfUrls(event->mimeData()->urls()).empty()) {
    event->acceptProposedAction();
  }
}

void TForm1::dropEvent(QDropEvent* event) {
  std::vector<std::string> paths = sorvend::LocalPathsOfUrls(event->mimeData()->urls());
  if (paths.empty()) return;
  event->acceptProposedAction();
  // The drop is finished for the sender before the batch starts, as the handler posted here
  // runs once this event has returned.
  QMetaObject::invokeMethod(
      this, [this, paths = std::move(paths)] { Form1DropFiles(paths); }, Qt::QueuedConnection);
}

void TForm1::Guarded(const std::function<void()>& handler) {
  try {
    handler();
  } catch (const std::exception& e) {
    ShowError(QString::fromUtf8(e.what()));
  } catch (...) {
    ShowError("Unknown error");
  }
}

bool TForm1::IsTicked(sorvend::Kind kind) {
  return std::as_const(*this).IsTicked(kind);
}

void TForm1::AppendLog(const std::string& line) {
  Memo1->appendPlainText(QString::fromUtf8(line.data(), static_cast<qsizetype>(line.size())));
}

void TForm1::OutputWritten(const sorvend::OutputRecord& record) {
  Results1->Add(sorvend::ResultsModel::RowOf(record, source_));
}

void TForm1::EnableProgressTimer(bool enabled) {
  if (enabled) {
    Timer1->start();
  } else {
    Timer1->stop();
  }
}

void TForm1::SetProgress(int value) {
  ProgressBar1->setValue(value);
}

void TForm1::KeepResponsive() {
  const auto now = std::chrono::steady_clock::now();
  if (now - lastEvents_ < kEventGap) return;
  lastEvents_ = now;
  QCoreApplication::processEvents(QEventLoop::AllEvents);
}

std::int64_t TForm1::ResponsiveInterval() const {
  return kResponsiveInterval;
}

bool TForm1::IsTicked(sorvend::Kind kind) const {
  const int i = static_cast<int>(kind);
  if (i < sorvend::kClassicKindCount) return switches_[i]->isChecked();
  return kindItems_[i - sorvend::kClassicKindCount]->isChecked();
}

void TForm1::SetTicked(sorvend::Kind kind, bool ticked) {
  const int i = static_cast<int>(kind);
  if (i < sorvend::kClassicKindCount) {
    switches_[i]->setChecked(ticked);
  } else {
    kindItems_[i - sorvend::kClassicKindCount]->setChecked(ticked);
  }
}

bool TForm1::Thorough() const {
  return KT1->isChecked();
}

void TForm1::SetThorough(bool thorough) {
  KT1->setChecked(thorough);
}

bool TForm1::Unpack() const {
  return KZ1->isChecked();
}

void TForm1::SetUnpack(bool unpack) {
  KZ1->setChecked(unpack);
}

int TForm1::Left() const {
  return x();
}
int TForm1::Top() const {
  return y();
}
void TForm1::SetLeft(int left) {
  move(left, y());
}
void TForm1::SetTop(int top) {
  move(x(), top);
}
