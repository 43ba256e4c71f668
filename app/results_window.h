// The results window (表示 → 結果一覧): the outputs of the current or last batch in a table with
// thumbnails, a preview of the selected picture, filters by group and text, a summary line, and
// the actions that open an output, show its folder or copy its path.
#pragma once

#include <QImage>
#include <QStringList>
#include <QUrl>
#include <QWidget>
#include <array>
#include <functional>

#include "app/results_model.h"

class QAction;
class QCheckBox;
class QLabel;
class QLineEdit;
class QMenu;
class QTableView;

namespace sorvend {

class ResultsWindow : public QWidget {
  Q_OBJECT

 public:
  // `model` outlives the window; it is filled by the main window whether this one is shown or
  // not.
  explicit ResultsWindow(ResultsModel* model, QWidget* parent = nullptr);

  // Hands a URL to the desktop's default application; replaceable so that the window can be
  // driven without a desktop.
  std::function<bool(const QUrl&)> OpenUrl;
  // Asks the desktop's file manager to show a file selected in its folder; false when there is
  // no file manager to ask, and the folder is opened with OpenUrl instead. Replaceable likewise.
  std::function<bool(const QString&)> RevealFile;

  // The full paths of the selected rows, top to bottom.
  QStringList SelectedPaths() const;
  // The context menu's actions on the selection.
  void OpenCurrent();
  void ShowCurrentInFolder();
  void CopySelectedPaths();
  // The image the preview pane shows, null when it shows none.
  const QImage& PreviewImage() const { return preview_; }

  ResultsFilter* Filter;
  QTableView* Table;
  QLabel* PreviewPane;
  QLabel* SummaryLine;
  QLineEdit* FilterText;
  // In the order of KindGroup.
  std::array<QCheckBox*, kGroupCount> GroupSwitches{};
  QMenu* ContextMenu;
  QAction* OpenItem;
  QAction* FolderItem;
  QAction* CopyItem;

 protected:
  void showEvent(QShowEvent* event) override;
  void resizeEvent(QResizeEvent* event) override;

 private:
  // The source row of the current index, or -1.
  int CurrentRow() const;
  void Open(int row);
  void UpdateSummary();
  void CurrentChanged();
  void ShowPreview(int row, const LookResult& result);
  void FitPreview();

  ResultsModel* model_;
  QImage preview_;
  int previewRow_ = -1;
};

}  // namespace sorvend
