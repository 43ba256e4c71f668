// sorvend: the window. Files dropped on it or picked with the open command are scanned one
// after another, and every embedded media object found is written out beside its input.
#include <QApplication>
#include <QIcon>
#include <QMessageBox>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>

#include "app/form1.h"
#include "app/settings.h"

namespace {

// Without a display the platform plugin would abort with a long message about plugins; one
// plain line says what is missing. A platform chosen explicitly (offscreen, vnc, ...) is
// trusted as it is.
bool DisplayAvailable(int argc, char** argv) {
#if defined(Q_OS_UNIX) && !defined(Q_OS_DARWIN) && !defined(Q_OS_ANDROID)
  const auto set = [](const char* name) {
    const char* value = std::getenv(name);
    return value != nullptr && *value != '\0';
  };
  if (set("QT_QPA_PLATFORM") || set("DISPLAY") || set("WAYLAND_DISPLAY")) return true;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "-platform") == 0 || std::strcmp(argv[i], "--platform") == 0) {
      return true;
    }
  }
  return false;
#else
  (void)argc;
  (void)argv;
  return true;
#endif
}

void ShowFatal(const QString& text) {
  QMessageBox::critical(nullptr, "Sorvend", text);
}

}  // namespace

int main(int argc, char** argv) {
  if (!DisplayAvailable(argc, argv)) {
    std::fputs(
        "sorvend: no display found (DISPLAY/WAYLAND_DISPLAY unset); run it under xvfb-run, or "
        "use sorvend-cli\n",
        stderr);
    return 1;
  }
  QApplication app(argc, argv);
  QApplication::setApplicationName("Sorvend");
  QApplication::setDesktopFileName("sorvend");
  QApplication::setWindowIcon(QIcon(":/icons/sorvend.png"));
  try {
    TForm1 form(sorvend::SettingsPath());
    form.show();
    QApplication::exec();
  } catch (const std::exception& e) {
    ShowFatal(QString::fromUtf8(e.what()));
  } catch (...) {
    ShowFatal("Unknown error");
  }
  return 0;
}
