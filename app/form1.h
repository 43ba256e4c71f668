// The main window: the progress bar, the log, the ten type switches, the file menu with the
// thorough item, the kind menu, and the batch that works the queued paths off one after another.
// Everything runs on the window's own thread: the scan lets pending events run between bytes, so
// every handler here can also run in the middle of a scan.
#pragma once

#include <QList>
#include <QMainWindow>
#include <QUrl>
#include <array>
#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "app/settings.h"
#include "engine/scan_context.h"
#include "engine/unpack.h"

class QAction;
class QCheckBox;
class QCloseEvent;
class QDragEnterEvent;
class QDropEvent;
class QFileDialog;
class QMenu;
class QMenuBar;
class QPlainTextEdit;
class QProgressBar;
class QTimer;

namespace sorvend {

class ResultsModel;
class ResultsWindow;

inline constexpr const char* kBanner = "Sorvend ver. 1.7";
inline constexpr const char* kPrompt = "ファイルを指定してください。";

// Progress in percent for the bar: Position * 101 / FileSize, at most 100. The factor 101 lets
// the bar reach 100 a little before the end. An empty file counts as done.
int ProgressPercent(std::int64_t position, std::int64_t fileSize);

// Local paths of the file URLs in a drop, as bytes: names that are not valid UTF-8 survive.
std::vector<std::string> LocalPathsOfUrls(const QList<QUrl>& urls);

// What a drop or the open command queues. In the thorough profile each folder among `paths`
// is replaced by the files under it, in the order of sorvend-cli -r; a subfolder that cannot
// be read keeps its place and fails to open in its turn. In the classic profile the paths are
// queued as they are, so that a folder fails to open as it always has.
std::vector<std::string> PathsToQueue(const std::vector<std::string>& paths, bool thorough);

}  // namespace sorvend

class TForm1 : public QMainWindow, public sorvend::ScanHost, public sorvend::SettingsTarget {
  Q_OBJECT

 public:
  // The settings are read from and written to `settingsPath`.
  explicit TForm1(std::string settingsPath, QWidget* parent = nullptr);
  ~TForm1() override;

  // The handlers. Each is the boundary for errors: what escapes it is shown in an error box
  // and the program goes on.
  // Appends the paths to the queue; starts the batch unless one is running.
  void Form1DropFiles(const std::vector<std::string>& paths);
  void KO1Click();
  void KX1Click();
  void Timer1Timer();

  // Scans every queued path, including those queued while it runs, in the profile the thorough
  // item shows when it starts; the item cannot be changed until the batch has ended.
  void RunBatch();

  const std::vector<std::string>& QueuedPaths() const { return FileQueue; }
  sorvend::ScanContext& Context() { return ctx_; }
  bool Busy() const { return (ctx_.Flags & sorvend::Flag::Busy) != 0; }

  // The modal open dialog: the chosen full paths in order, empty when cancelled. Replaceable so
  // that the window can be driven without a user.
  std::function<std::vector<std::string>()> ExecuteOpenDialog;
  // Shows an error's text in a modal box; replaceable likewise.
  std::function<void(const QString&)> ShowError;

  // What the scan needs of the window.
  bool IsTicked(sorvend::Kind kind) override;
  void AppendLog(const std::string& line) override;
  void EnableProgressTimer(bool enabled) override;
  void SetProgress(int value) override;
  void KeepResponsive() override;
  std::int64_t ResponsiveInterval() const override;
  void OutputWritten(const sorvend::OutputRecord& record) override;
  void OutputFailed(const std::string&) override {}

  // What the settings need of the window.
  bool IsTicked(sorvend::Kind kind) const override;
  void SetTicked(sorvend::Kind kind, bool ticked) override;
  bool Thorough() const override;
  void SetThorough(bool thorough) override;
  bool Unpack() const override;
  void SetUnpack(bool unpack) override;
  int Left() const override;
  int Top() const override;
  void SetLeft(int left) override;
  void SetTop(int top) override;

  QMenuBar* MainMenu1;
  QMenu* F1;
  QAction* KO1;
  QAction* KT1;
  // ﾌｧｲﾙ → 圧縮データの中も探す: decode archives and compressed streams in the thorough profile.
  // Usable only while KT1 is ticked, and not while a batch runs.
  QAction* KZ1;
  QAction* N1;
  QAction* KX1;
  // The kind menu: for each group of kinds an item that ticks or clears the whole group, then
  // one item per kind. Usable only while KT1 is ticked.
  QMenu* K1;
  // 表示: the results window.
  QMenu* V1;
  QAction* KR1;
  // The outputs of the current or last batch, kept whether the results window is shown or not.
  sorvend::ResultsModel* Results1;
  sorvend::ResultsWindow* ResultsWindow1;
  QProgressBar* ProgressBar1;
  QPlainTextEdit* Memo1;
  QCheckBox* CBBmp;
  QCheckBox* CBAvi;
  QCheckBox* CBWav;
  QCheckBox* CBAni;
  QCheckBox* CBJpg;
  QCheckBox* CBMov;
  QCheckBox* CBPng;
  QCheckBox* CBMp3;
  QCheckBox* CBGif;
  QCheckBox* CBOgg;
  QFileDialog* OpenDialog1;
  QTimer* Timer1;

 protected:
  void closeEvent(QCloseEvent* event) override;
  void dragEnterEvent(QDragEnterEvent* event) override;
  void dropEvent(QDropEvent* event) override;

 private:
  void BuildLayout();
  void BuildKindMenu();
  void BuildResultsWindow();
  void Form1Creat();
  // The close handler: settings, then the streams, then the queue. Throws when the settings
  // cannot be written; nothing else is done then and the window stays.
  void Form1Close();
  std::vector<std::string> RunOpenDialog1();
  // Queues the paths (see PathsToQueue) and starts the batch unless one is running.
  void Enqueue(const std::vector<std::string>& paths);
  // The boundary of every handler: an error is shown and the program goes on.
  void Guarded(const std::function<void()>& handler);

  std::string settingsPath_;
  sorvend::ScanContext ctx_;
  sorvend::Unpacker unpacker_;
  std::vector<std::string> FileQueue;
  // The input being scanned, for the results' source column.
  QString source_;
  // Whether the results window has a geometry to keep: from the settings or shown once.
  bool resultsPlaced_ = false;
  // In the order of sorvend::Kind.
  std::array<QCheckBox*, sorvend::kClassicKindCount> switches_{};
  // The kind menu's items of the kinds after the ten, in the order of sorvend::Kind.
  std::array<QAction*, sorvend::kKindCount - sorvend::kClassicKindCount> kindItems_{};
  std::chrono::steady_clock::time_point lastEvents_{};
};
