// Scans one file through the real window (offscreen unless a platform is given) and reports the
// throughput and the longest gap between two progress timer ticks, which is how long the
// window went without handling its events.
// Usage: window_bench FILE [--write] [--results]
//   Without --write the scan carves as usual but writes no output (like sorvend-cli -n).
//   --results: the results window is open during the scan; afterwards its list is filled up to
//   100,000 rows, and the time to add them, to filter them and to show the last ones, and the
//   process's memory, are reported.
#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QLineEdit>
#include <QTableView>
#include <QTemporaryDir>
#include <QTimer>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "app/form1.h"
#include "app/results_model.h"
#include "app/results_window.h"

namespace {

// The resident memory of this process in MiB, from /proc; 0 where there is none.
double ResidentMiB() {
  std::ifstream statm("/proc/self/statm");
  long pages = 0;
  long resident = 0;
  if (!(statm >> pages >> resident)) return 0;
  return static_cast<double>(resident) * 4096 / (1 << 20);
}

// Fills the list up to `rows` rows of made-up outputs of all groups and times what the user
// does with such a list.
void BenchLargeList(TForm1& form, int rows) {
  sorvend::ResultsModel& model = *form.Results1;
  sorvend::ResultsWindow& window = *form.ResultsWindow1;
  static const char* const kExtensions[] = {"BMP", "WAV", "MID", "AVI", "PNG", "ogg", "MP3"};
  const QString source = "/bench/source.dat";
  QElapsedTimer timer;
  timer.start();
  for (int i = model.rowCount(); i < rows; ++i) {
    const std::string ext = kExtensions[i % 7];
    char name[64];
    std::snprintf(name, sizeof name, "/bench/out/ANT%04d.%s", i, ext.c_str());
    model.Add(
        sorvend::ResultsModel::RowOf(sorvend::OutputRecord{name, ext, i * 4096LL, 4000}, source));
    if (i % 1000 == 999) QCoreApplication::processEvents();  // as the scan would let it
  }
  model.Flush();
  QCoreApplication::processEvents();
  std::printf("list rows       %d\n", model.rowCount());
  std::printf("list fill       %.1f ms\n", timer.nsecsElapsed() / 1e6);
  timer.restart();
  window.FilterText->setText("ANT99");
  QCoreApplication::processEvents();
  std::printf("list filter     %.1f ms (%d rows shown)\n", timer.nsecsElapsed() / 1e6,
              window.Filter->rowCount());
  window.FilterText->clear();
  timer.restart();
  window.Table->scrollToBottom();
  window.Table->viewport()->repaint();
  QCoreApplication::processEvents();
  std::printf("list to bottom  %.1f ms\n", timer.nsecsElapsed() / 1e6);
  std::printf("resident        %.0f MiB\n", ResidentMiB());
}

}  // namespace

int main(int argc, char** argv) {
  bool write = false;
  bool results = false;
  bool usage = argc < 2;
  for (int i = 2; i < argc; ++i) {
    if (std::strcmp(argv[i], "--write") == 0) {
      write = true;
    } else if (std::strcmp(argv[i], "--results") == 0) {
      results = true;
    } else {
      usage = true;
    }
  }
  if (usage) {
    std::fprintf(stderr, "usage: window_bench FILE [--write] [--results]\n");
    return 2;
  }
  const std::string input = argv[1];
  if (std::getenv("QT_QPA_PLATFORM") == nullptr) setenv("QT_QPA_PLATFORM", "offscreen", 1);

  QApplication app(argc, argv);
  QTemporaryDir settingsDir;
  TForm1 form(QDir(settingsDir.path()).filePath("sorvend.ini").toStdString());
  form.ShowError = [](const QString& text) {
    std::fprintf(stderr, "window_bench: %s\n", text.toLocal8Bit().constData());
  };
  form.show();
  if (results) form.KR1->trigger();
  form.Context().DryRun = !write;
  // The windows are painted once, with their fonts loaded, before the drop, as they are by the
  // time a user drops a file.
  QElapsedTimer shown;
  shown.start();
  while (shown.elapsed() < 300) QCoreApplication::processEvents(QEventLoop::AllEvents, 50);

  using Clock = std::chrono::steady_clock;
  std::vector<Clock::time_point> ticks;
  ticks.reserve(1 << 16);
  QObject::connect(form.Timer1, &QTimer::timeout, [&] { ticks.push_back(Clock::now()); });

  const auto start = Clock::now();
  form.Form1DropFiles({input});
  const auto end = Clock::now();

  const auto& ctx = form.Context();
  const double seconds = std::chrono::duration<double>(end - start).count();
  double longestGapMs = 0;
  // From the start of the scan to the first tick, between ticks, and from the last to the end.
  Clock::time_point previous = start;
  ticks.push_back(end);
  for (const auto& t : ticks) {
    longestGapMs =
        std::max(longestGapMs, std::chrono::duration<double, std::milli>(t - previous).count());
    previous = t;
  }
  std::printf("file            %s\n", input.c_str());
  std::printf("bytes           %lld\n", static_cast<long long>(ctx.FileSize));
  std::printf("outputs         %d%s\n", ctx.OutputCount, write ? "" : " (not written)");
  std::printf("seconds         %.3f\n", seconds);
  std::printf("throughput      %.1f MB/s\n", seconds > 0 ? ctx.FileSize / seconds / 1e6 : 0.0);
  std::printf("timer ticks     %zu\n", ticks.size() - 1);
  std::printf("longest gap     %.1f ms\n", longestGapMs);
  if (results) BenchLargeList(form, 100'000);
  return 0;
}
