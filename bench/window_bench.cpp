// Scans one file through the real window (offscreen unless a platform is given) and reports the
// throughput and the longest gap between two progress timer ticks, which is how long the
// window went without handling its events.
// Usage: window_bench FILE [--write]
//   Without --write the scan carves as usual but writes no output (like sorvend-cli -n).
#include <QApplication>
#include <QDir>
#include <QTemporaryDir>
#include <QTimer>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "app/form1.h"

int main(int argc, char** argv) {
  if (argc < 2 || argc > 3 || (argc == 3 && std::strcmp(argv[2], "--write") != 0)) {
    std::fprintf(stderr, "usage: window_bench FILE [--write]\n");
    return 2;
  }
  const std::string input = argv[1];
  const bool write = argc == 3;
  if (std::getenv("QT_QPA_PLATFORM") == nullptr) setenv("QT_QPA_PLATFORM", "offscreen", 1);

  QApplication app(argc, argv);
  QTemporaryDir settingsDir;
  TForm1 form(QDir(settingsDir.path()).filePath("sorvend.ini").toStdString());
  form.ShowError = [](const QString& text) {
    std::fprintf(stderr, "window_bench: %s\n", text.toLocal8Bit().constData());
  };
  form.show();
  form.Context().DryRun = !write;

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
  return 0;
}
