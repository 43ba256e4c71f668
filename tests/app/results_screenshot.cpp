// Makes the README's picture of the results window: the real window scans the given inputs in
// the thorough profile, with the results window open, and the results window is saved as PNG
// with the first picture larger than an icon selected.
// Usage (on an X server, e.g. under xvfb-run): results_screenshot OUT.png INPUT...
#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QTableView>
#include <QTemporaryDir>
#include <cstdio>
#include <string>
#include <vector>

#include "app/form1.h"
#include "app/results_model.h"
#include "app/results_window.h"

namespace {

// Lets events run for `ms` milliseconds: thumbnails and the preview arrive meanwhile.
void Settle(int ms) {
  QElapsedTimer timer;
  timer.start();
  while (timer.elapsed() < ms) QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: results_screenshot OUT.png INPUT...\n");
    return 2;
  }
  QApplication app(argc, argv);
  QTemporaryDir settingsDir;
  // No settings file: a first start, so the thorough profile with every kind.
  TForm1 form(QDir(settingsDir.path()).filePath("sorvend.ini").toStdString());
  form.show();
  form.KR1->trigger();
  sorvend::ResultsWindow& results = *form.ResultsWindow1;
  results.resize(980, 520);
  Settle(300);
  form.Form1DropFiles(std::vector<std::string>(argv + 2, argv + argc));
  Settle(1000);
  for (int r = 0; r < results.Filter->rowCount(); ++r) {
    const int row = results.Filter->mapToSource(results.Filter->index(r, 0)).row();
    if (form.Results1->Row(row).picture && form.Results1->Row(row).size > 4096) {
      results.Table->selectRow(r);
      break;
    }
  }
  Settle(1000);
  if (!results.grab().save(QString::fromLocal8Bit(argv[1]))) {
    std::fprintf(stderr, "results_screenshot: cannot write %s\n", argv[1]);
    return 1;
  }
  return 0;
}
