// Drives the real main window offscreen: its layout, the batch queue, drops and the open
// command during a scan, the progress bar, closing at any moment, and errors in handlers.
#include "app/form1.h"

#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QFileDialog>
#include <QFontDatabase>
#include <QFontInfo>
#include <QMenu>
#include <QMenuBar>
#include <QMimeData>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QTimer>
#include <QtTest>
#include <filesystem>
#include <functional>
#include <memory>
#include <stdexcept>
#include <thread>

#include "engine/scan.h"
#include "tests/support/test_support.h"

using sorvend::test::AppendText;
using sorvend::test::BareDib;
using sorvend::test::Bytes;
using sorvend::test::DibPixelBytes;
using sorvend::test::Filler;
using sorvend::test::Join;
using sorvend::test::ReadFile;
using sorvend::test::ReadTestData;
using sorvend::test::ScratchDir;
using sorvend::test::WriteFile;
using sorvend::test::WriteSparseFile;
namespace fs = std::filesystem;

namespace {

// A 24-bit bitmap as a program resource stores it: the 40-byte information header and the
// pixels, no file header. The carver writes it out with a rebuilt 54-byte header.
struct Dib {
  int width;
  int height;
  std::uint8_t seed = 3;

  std::size_t OutputSize() const { return 54 + DibPixelBytes(width, height); }
  Bytes Stored() const { return BareDib(width, height, seed); }
};

QStringList Q(const std::vector<std::string>& lines) {
  QStringList out;
  for (const auto& l : lines) out << QString::fromStdString(l);
  return out;
}

QString LogLine(int index, int count, const char* name) {
  return QString::asprintf("(%2d/%2d) %s", index, count, name);
}

// The window with its log recorded as the batch writes it (the batch replaces it with the
// prompt at its end), its error boxes recorded instead of shown, and no user for the dialog.
class Form : public TForm1 {
 public:
  explicit Form(const std::string& settingsPath) : TForm1(settingsPath) {
    ShowError = [this](const QString& text) { errors << text; };
    ExecuteOpenDialog = [this] { return dialog ? dialog() : std::vector<std::string>{}; };
  }
  void AppendLog(const std::string& line) override {
    log.push_back(line);
    if (throwOnOpenFailure && line == sorvend::kOpenFailedLine) {
      throw std::runtime_error("log failed");
    }
    TForm1::AppendLog(line);
  }

  std::vector<std::string> log;
  QStringList errors;
  std::function<std::vector<std::string>()> dialog;
  bool throwOnOpenFailure = false;
};

// Runs `step` at every event pass of the window's thread until it returns true. Inside a scan
// that is every KeepResponsive call that lets events run.
class EveryPass {
 public:
  explicit EveryPass(std::function<bool()> step) : step_(std::move(step)) {
    timer_.setInterval(0);
    QObject::connect(&timer_, &QTimer::timeout, [this] {
      if (step_()) timer_.stop();
    });
    timer_.start();
  }

 private:
  std::function<bool()> step_;
  QTimer timer_;
};

// The kind menu's items, its groups' submenus' items included, in menu order.
QList<QAction*> KindMenuItems(const TForm1& form) {
  QList<QAction*> items;
  for (QAction* group : form.K1->actions()) {
    items << group;
    if (group->menu() != nullptr) items << group->menu()->actions();
  }
  return items;
}

// The kind menu's item with caption `text`, or null.
QAction* KindMenuItem(const TForm1& form, const QString& text) {
  for (QAction* item : KindMenuItems(form)) {
    if (item->text() == text) return item;
  }
  return nullptr;
}

// The kinds after the ten with their items' captions, in table order.
std::vector<std::pair<sorvend::Kind, QString>> KindItems() {
  std::vector<std::pair<sorvend::Kind, QString>> items;
  for (const sorvend::KindRecord& r : sorvend::kKinds) {
    if (!r.classic) items.emplace_back(r.kind, QString::fromUtf8(r.caption));
  }
  return items;
}

// The settings file's text.
std::string TextOf(const std::string& path) {
  const Bytes bytes = ReadFile(path);
  return std::string(bytes.begin(), bytes.end());
}

struct Env {
  ScratchDir dir;
  std::unique_ptr<Form> form;

  // An empty settings file stands for one of an earlier version, without the Thorough key: the
  // window starts in the classic profile.
  Env() {
    WriteFile(dir.File("sorvend.ini"), {});
    form = std::make_unique<Form>(dir.File("sorvend.ini"));
  }
  std::string Put(const std::string& name, const Bytes& data) {
    const std::string path = dir.File(name);
    fs::create_directories(fs::path(path).parent_path());
    WriteFile(path, data);
    return path;
  }
  bool Exists(const std::string& name) const { return fs::exists(dir.path() / name); }
};

}  // namespace

class Form1Test : public QObject {
  Q_OBJECT

 private slots:
  void initTestCase() { QApplication::setQuitOnLastWindowClosed(false); }

  void windowLayout() {
    Env env;
    TForm1& f = *env.form;
    QCOMPARE(f.objectName(), QString("Form1"));
    QCOMPARE(f.windowTitle(), QString("Sorvend1"));
    QWidget* client = f.centralWidget();
    QCOMPARE(client->size(), QSize(226, 212));
    QCOMPARE(f.minimumSize(), f.maximumSize());
    QCOMPARE(f.minimumSize(), QSize(226, 212 + f.MainMenu1->sizeHint().height()));
    QVERIFY(!(f.windowFlags() & Qt::WindowMaximizeButtonHint));
    QVERIFY(f.windowFlags() & Qt::WindowMinimizeButtonHint);
    QVERIFY(f.windowFlags() & Qt::WindowCloseButtonHint);
    QCOMPARE(f.palette().color(QPalette::Window), f.palette().color(QPalette::Button));

    const QFont font = client->font();
    QCOMPARE(font.families().value(0), QString("ＭＳ Ｐゴシック"));
    QCOMPARE(font.pixelSize(), 12);
    // Whatever face stands in, it must be able to show the Japanese texts.
    const QString face = QFontInfo(f.Memo1->font()).family();
    QVERIFY2(QFontDatabase::writingSystems(face).contains(QFontDatabase::Japanese),
             qPrintable(face));

    QCOMPARE(f.ProgressBar1->minimum(), 0);
    QCOMPARE(f.ProgressBar1->maximum(), 100);
    QCOMPARE(f.ProgressBar1->value(), 0);
    QVERIFY(f.Memo1->isReadOnly());
    QCOMPARE(f.Memo1->lineWrapMode(), QPlainTextEdit::WidgetWidth);
    QCOMPARE(f.Memo1->horizontalScrollBarPolicy(), Qt::ScrollBarAlwaysOff);
    QCOMPARE(f.Memo1->verticalScrollBarPolicy(), Qt::ScrollBarAlwaysOff);
    QCOMPARE(f.Timer1->interval(), 10);
    QVERIFY(!f.Timer1->isActive());
    QCOMPARE(f.OpenDialog1->fileMode(), QFileDialog::ExistingFiles);
    QCOMPARE(f.OpenDialog1->acceptMode(), QFileDialog::AcceptOpen);

    QCOMPARE(f.MainMenu1->actions(),
             (QList<QAction*>{f.F1->menuAction(), f.K1->menuAction(), f.V1->menuAction()}));
    QCOMPARE(f.F1->title(), QString("ﾌｧｲﾙ(&F)"));
    QCOMPARE(f.K1->title(), QString("形式(&K)"));
    const QList<QAction*> items = f.F1->actions();
    QCOMPARE(items.size(), 5);
    QCOMPARE(items[0]->text(), QString("開く(&O)"));
    QCOMPARE(items[1]->text(), QString("徹底検索(&T)"));
    QCOMPARE(items[1], f.KT1);
    QVERIFY(items[1]->isCheckable());
    QVERIFY(!items[1]->isChecked());  // an earlier version's settings file: classic
    QVERIFY(items[1]->isEnabled());
    QCOMPARE(items[2]->text(), QString("圧縮データの中も探す(&Z)"));
    QCOMPARE(items[2], f.KZ1);
    QVERIFY(items[2]->isCheckable());
    QVERIFY(items[2]->isChecked());   // without the Unpack key: on
    QVERIFY(!items[2]->isEnabled());  // but usable only in the thorough profile
    QVERIFY(items[3]->isSeparator());
    QCOMPARE(items[4]->text(), QString("終了(&X)"));
    for (QAction* item : items) QVERIFY(item->shortcut().isEmpty());
  }

  // One submenu per group, in the groups' order, led by the item for the whole group, then
  // the group's kinds beyond the ten switches, each kind in exactly one; with no settings file
  // everything is ticked and, the profile being classic, nothing usable.
  void kindMenu() {
    Env env;
    QStringList groupTitles;
    int kinds = 0;
    for (QAction* group : env.form->K1->actions()) {
      QVERIFY2(group->menu() != nullptr, qPrintable(group->text()));
      QVERIFY(!group->isEnabled());
      groupTitles << group->text();
      QStringList texts;
      for (QAction* item : group->menu()->actions()) {
        if (item->isSeparator()) continue;
        QVERIFY2(item->isCheckable() && item->isChecked(), qPrintable(item->text()));
        QVERIFY2(!item->isEnabled(), qPrintable(item->text()));
        texts << item->text();
      }
      QVERIFY(texts.size() >= 2);
      QCOMPARE(texts.front(), group->text() + "をすべて選択");
      for (int i = 1; i < texts.size(); ++i) {
        const auto kind = std::find_if(
            sorvend::kKinds.begin(), sorvend::kKinds.end(),
            [&](const sorvend::KindRecord& r) { return texts[i] == QString::fromUtf8(r.caption); });
        QVERIFY2(kind != sorvend::kKinds.end() && !kind->classic, qPrintable(texts[i]));
        QCOMPARE(QString::fromUtf8(sorvend::GroupCaption(kind->group)), group->text());
        ++kinds;
      }
    }
    QCOMPARE(groupTitles, QStringList({"音楽", "音声", "画像", "動画"}));
    QCOMPARE(kinds, sorvend::kKindCount - sorvend::kClassicKindCount);
  }

  void kindMenuFollowsThoroughItem() {
    Env env;
    QList<QAction*> items = KindMenuItems(*env.form);
    items.removeIf([](QAction* a) { return a->isSeparator(); });
    const auto enabledCount = [&] {
      return std::count_if(items.begin(), items.end(), [](QAction* a) { return a->isEnabled(); });
    };
    env.form->KT1->trigger();
    QVERIFY(env.form->KT1->isChecked());
    QCOMPARE(enabledCount(), items.size());
    QVERIFY(env.form->KZ1->isEnabled());
    env.form->KT1->trigger();
    QVERIFY(!env.form->KT1->isChecked());
    QCOMPARE(enabledCount(), 0);
    QVERIFY(!env.form->KZ1->isEnabled());
  }

  // Each new kind is asked of its own item, and of no other.
  void newKindFollowsItsItem() {
    Env env;
    env.form->KT1->trigger();
    for (const auto& [kind, caption] : KindItems()) {
      QAction* item = KindMenuItem(*env.form, caption);
      QVERIFY(item != nullptr);
      item->trigger();
      for (int k = 0; k < sorvend::kKindCount; ++k) {
        const auto other = static_cast<sorvend::Kind>(k);
        QVERIFY2(env.form->IsTicked(other) == (other != kind),
                 qPrintable(caption + " / " + sorvend::kKinds[k].name));
      }
      item->trigger();
      QVERIFY(env.form->IsTicked(kind));
    }
  }

  void groupItemTicksOrClearsItsGroup() {
    Env env;
    TForm1& f = *env.form;
    f.KT1->trigger();
    QAction* pictures = KindMenuItem(f, "画像をすべて選択");
    QAction* sounds = KindMenuItem(f, "音声をすべて選択");
    const std::vector<sorvend::Kind> group = {sorvend::Kind::Webp, sorvend::Kind::Ico,
                                              sorvend::Kind::Dds, sorvend::Kind::Tif};
    const auto ticked = [&] {
      int n = 0;
      for (const sorvend::Kind kind : group) n += f.IsTicked(kind);
      return n;
    };

    pictures->trigger();  // all were ticked: all cleared
    QVERIFY(!pictures->isChecked());
    QCOMPARE(ticked(), 0);
    QVERIFY(f.IsTicked(sorvend::Kind::Wma) && f.IsTicked(sorvend::Kind::Wmv));
    QVERIFY(sounds->isChecked());

    KindMenuItem(f, "DDS")->trigger();
    QCOMPARE(ticked(), 1);
    QVERIFY(!pictures->isChecked());
    pictures->trigger();  // some were clear: all ticked
    QVERIFY(pictures->isChecked());
    QCOMPARE(ticked(), 4);

    // One item cleared by hand clears the group's item; ticked again, it ticks it again.
    KindMenuItem(f, "TIFF")->trigger();
    QVERIFY(!pictures->isChecked());
    KindMenuItem(f, "TIFF")->trigger();
    QVERIFY(pictures->isChecked());
  }

  void controls_data() {
    QTest::addColumn<QString>("name");
    QTest::addColumn<QRect>("geometry");
    QTest::addColumn<QString>("caption");
    QTest::addColumn<QString>("hint");
    QTest::newRow("ProgressBar1") << "ProgressBar1" << QRect(8, 0, 206, 16) << ""
                                  << "";
    QTest::newRow("Memo1") << "Memo1" << QRect(8, 24, 209, 89) << ""
                           << "";
    QTest::newRow("CBBmp") << "CBBmp" << QRect(8, 120, 57, 17) << "BMP"
                           << "ビットマップ画像";
    QTest::newRow("CBAvi") << "CBAvi" << QRect(152, 120, 57, 17) << "AVI"
                           << "AudioVideoInterleave";
    QTest::newRow("CBWav") << "CBWav" << QRect(80, 120, 57, 17) << "WAV"
                           << "音声";
    QTest::newRow("CBAni") << "CBAni" << QRect(8, 192, 57, 17) << "ANI"
                           << "アニメーションカーソル";
    QTest::newRow("CBJpg") << "CBJpg" << QRect(8, 136, 57, 17) << "JPG"
                           << "JPEG画像";
    QTest::newRow("CBMov") << "CBMov" << QRect(152, 136, 57, 17) << "MOV"
                           << "QuickTimeMovie";
    QTest::newRow("CBPng") << "CBPng" << QRect(8, 152, 57, 17) << "PNG"
                           << "PortableNetworkGraphics画像";
    QTest::newRow("CBMp3") << "CBMp3" << QRect(80, 136, 57, 17) << "MP3"
                           << "MPEG-1 Audio Layer-III";
    QTest::newRow("CBGif") << "CBGif" << QRect(8, 168, 57, 17) << "GIF"
                           << "The G. I. F.画像";
    QTest::newRow("CBOgg") << "CBOgg" << QRect(80, 152, 57, 17) << "ogg"
                           << "Ogg Vorbis";
  }

  void controls() {
    QFETCH(QString, name);
    QFETCH(QRect, geometry);
    QFETCH(QString, caption);
    QFETCH(QString, hint);
    Env env;
    auto* w = env.form->findChild<QWidget*>(name);
    QVERIFY(w != nullptr);
    QCOMPARE(w->parentWidget(), env.form->centralWidget());
    QCOMPARE(w->geometry(), geometry);
    QCOMPARE(w->toolTip(), hint);
    if (auto* box = qobject_cast<QCheckBox*>(w)) {
      QCOMPARE(box->text(), caption);
      QVERIFY(box->isChecked());  // no settings file: every kind ticked
    }
  }

  void tabOrder() {
    Env env;
    QStringList order;
    QWidget* w = env.form->Memo1;
    do {
      if (w->parentWidget() == env.form->centralWidget() && (w->focusPolicy() & Qt::TabFocus)) {
        order << w->objectName();
      }
      w = w->nextInFocusChain();
    } while (w != env.form->Memo1);
    QCOMPARE(order, QStringList({"Memo1", "CBBmp", "CBAvi", "CBWav", "CBAni", "CBJpg", "CBMov",
                                 "CBPng", "CBMp3", "CBGif", "CBOgg"}));
  }

  // Without a settings file the window offers everything the thorough profile finds.
  void firstStartIsThorough() {
    ScratchDir dir;
    Form form(dir.File("sorvend.ini"));
    QVERIFY(form.KT1->isChecked());
    for (int i = 0; i < sorvend::kKindCount; ++i) {
      QVERIFY2(form.IsTicked(static_cast<sorvend::Kind>(i)), sorvend::kKinds[i].name);
    }
    for (QAction* item : form.K1->actions()) QVERIFY(item->isEnabled());
  }

  void startLines() {
    Env env;
    QCOMPARE(env.form->Memo1->toPlainText(),
             QString("Sorvend ver. 1.7\nファイルを指定してください。"));
    QVERIFY(env.form->QueuedPaths().empty());
    QVERIFY(!env.form->Busy());
  }

  void settingsAppliedAtStart() {
    ScratchDir dir;
    const std::string ini = dir.File("sorvend.ini");
    Bytes text;
    AppendText(text, "[Sorvend]\nForm1Left=50\nForm1Top=60\nBMP=0\nOgg=0\nThorough=1\nFLAC=0\n");
    WriteFile(ini, text);
    Form form(ini);
    QCOMPARE(form.pos(), QPoint(50, 60));
    QVERIFY(!form.CBBmp->isChecked());
    QVERIFY(!form.CBOgg->isChecked());
    QVERIFY(form.CBAvi->isChecked());
    QVERIFY(form.KT1->isChecked());
    QVERIFY(!KindMenuItem(form, "FLAC")->isChecked());
    QVERIFY(!KindMenuItem(form, "音声をすべて選択")->isChecked());
    QVERIFY(KindMenuItem(form, "WMA")->isChecked());
    QVERIFY(KindMenuItem(form, "音楽をすべて選択")->isChecked());
    QVERIFY(KindMenuItem(form, "WMA")->isEnabled());
  }

  // The thorough item and the kind items are saved on close and come back in the next window.
  void thoroughAndKindsKeptBetweenRuns() {
    Env env;
    env.form->show();
    env.form->KT1->trigger();
    KindMenuItem(*env.form, "動画をすべて選択")->trigger();
    KindMenuItem(*env.form, "XM")->trigger();
    env.form->KX1->trigger();
    QVERIFY(env.form->errors.isEmpty());
    const std::string text = TextOf(env.dir.File("sorvend.ini"));
    for (const char* line : {"Thorough=1", "XM=0", "MID=1", "WMV=0", "MKV=0", "SWF=0", "TIF=1"}) {
      QVERIFY2(text.find(std::string(line) + "\n") != std::string::npos, line);
    }

    Form again(env.dir.File("sorvend.ini"));
    QVERIFY(again.KT1->isChecked());
    QVERIFY(!again.IsTicked(sorvend::Kind::Xm));
    QVERIFY(!again.IsTicked(sorvend::Kind::Swf));
    QVERIFY(again.IsTicked(sorvend::Kind::Mid));
    QVERIFY(!KindMenuItem(again, "動画をすべて選択")->isChecked());
    QVERIFY(!KindMenuItem(again, "音楽をすべて選択")->isChecked());
    QVERIFY(KindMenuItem(again, "画像をすべて選択")->isChecked());
  }

  // A batch scans in the profile the item shows when it starts. A PNG whose chunk after the
  // image data is damaged: classic copies it to its end chunk, thorough only up to the damage.
  void batchScansInTheChosenProfile_data() {
    QTest::addColumn<bool>("thorough");
    QTest::newRow("classic") << false;
    QTest::newRow("thorough") << true;
  }

  void batchScansInTheChosenProfile() {
    QFETCH(bool, thorough);
    Env env;
    Bytes png = ReadTestData("png/gradient.png");
    const Bytes idat = {'I', 'D', 'A', 'T'};
    const auto type = std::search(png.begin(), png.end(), idat.begin(), idat.end());
    QVERIFY(type != png.end());
    const std::size_t at = type - png.begin();
    const std::size_t idatEnd =
        at + 8 +
        (std::size_t{png[at - 4]} << 24 | png[at - 3] << 16 | png[at - 2] << 8 | png[at - 1]);
    QVERIFY(idatEnd + 12 < png.size());
    png[idatEnd + 6] ^= 0x20;  // a letter of the next chunk's type changes case: its CRC fails
    const std::string a = env.Put("a.bin", Join({Filler(7), png, Filler(9)}));
    if (thorough) env.form->KT1->trigger();
    env.form->Form1DropFiles({a});
    QCOMPARE(env.form->Context().profile,
             thorough ? sorvend::Profile::Thorough : sorvend::Profile::Classic);
    QCOMPARE(ReadFile(env.dir.File("ANT0000.PNG")),
             thorough ? Bytes(png.begin(), png.begin() + idatEnd) : png);
    QVERIFY(!env.Exists("ANT0001.PNG"));
  }

  // The profile cannot change in the middle of a batch: the item is unusable until it ends.
  void thoroughItemLockedDuringBatch_data() {
    QTest::addColumn<bool>("thorough");
    QTest::newRow("classic") << false;
    QTest::newRow("thorough") << true;
  }

  void thoroughItemLockedDuringBatch() {
    QFETCH(bool, thorough);
    Env env;
    const std::string a = env.Put("a.bin", Dib{1024, 1024}.Stored());
    if (thorough) env.form->KT1->trigger();
    int passes = 0;
    bool enabledDuringBatch = false;
    bool kindItemsUsable = false;
    EveryPass step([&] {
      if (!env.form->Busy()) return false;
      ++passes;
      enabledDuringBatch =
          enabledDuringBatch || env.form->KT1->isEnabled() || env.form->KZ1->isEnabled();
      kindItemsUsable = KindMenuItem(*env.form, "FLAC")->isEnabled();
      return passes >= 3;
    });
    env.form->Form1DropFiles({a});
    QVERIFY(passes > 0);
    QVERIFY(!enabledDuringBatch);
    // The kinds are asked as the scan meets them, so their items stay usable.
    QCOMPARE(kindItemsUsable, thorough);
    QVERIFY(env.form->KT1->isEnabled());
    QCOMPARE(env.form->KT1->isChecked(), thorough);
    // The unpacking item is usable again with the thorough profile only.
    QCOMPARE(env.form->KZ1->isEnabled(), thorough);
  }

  void threeFilesWhileIdle() {
    Env env;
    const Dib dib{16, 8};
    const std::string a = env.Put("a.bin", Join({dib.Stored(), Filler(100)}));
    const std::string b = env.Put("b.bin", Filler(300));
    const std::string c = env.Put("c.bin", Join({Filler(10), dib.Stored()}));
    env.form->Form1DropFiles({a, b, c});
    QCOMPARE(Q(env.form->log),
             QStringList({LogLine(1, 3, "a.bin"), LogLine(2, 3, "b.bin"), LogLine(3, 3, "c.bin")}));
    QCOMPARE(env.form->Memo1->toPlainText(), QString("ファイルを指定してください。"));
    QVERIFY(env.form->QueuedPaths().empty());
    QVERIFY(!env.form->Busy());
    QVERIFY(!env.form->Timer1->isActive());
    QCOMPARE(env.form->ProgressBar1->value(), 0);
    QCOMPARE(ReadFile(env.dir.File("ANT0000.BMP")).size(), dib.OutputSize());
    QCOMPARE(ReadFile(env.dir.File("ANT0001.BMP")).size(), dib.OutputSize());
    QVERIFY(!env.Exists("ANT0002.BMP"));
  }

  void realDropEvent() {
    Env env;
    const Dib dib{4, 4};
    // A name that is not UTF-8, and a full path far longer than 260 bytes: both are scanned
    // as they are, never replaced or cut.
    const std::string odd = env.Put("odd\xff.bin", Filler(50));
    std::string deep = "d";
    for (int i = 0; i < 6; ++i) deep += "/" + std::string(60, char('p' + i));
    const std::string longPath = env.Put(deep + "/long.bin", dib.Stored());
    QVERIFY(longPath.size() > 300);

    QMimeData mime;
    mime.setUrls(
        {QUrl::fromLocalFile(QString::fromStdString(longPath)),
         QUrl::fromEncoded("file://" + QByteArray::fromStdString(odd).toPercentEncoding("/")),
         QUrl("https://example.org/remote.bin")});
    QDragEnterEvent enter(QPoint(5, 5), Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
    QCoreApplication::sendEvent(env.form.get(), &enter);
    QVERIFY(enter.isAccepted());
    QDropEvent drop(QPointF(5, 5), Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
    QCoreApplication::sendEvent(env.form.get(), &drop);
    QVERIFY(drop.isAccepted());
    QTRY_VERIFY(!env.form->log.empty() && !env.form->Busy());
    QCOMPARE(env.form->log.size(), std::size_t{2});
    QCOMPARE(env.form->log[0], std::string("( 1/ 2) long.bin"));
    QCOMPARE(env.form->log[1], std::string("( 2/ 2) odd\xff.bin"));
    QCOMPARE(ReadFile(fs::path(longPath).parent_path() / "ANT0000.BMP").size(), dib.OutputSize());
    QCOMPARE(env.form->Memo1->toPlainText(), QString("ファイルを指定してください。"));

    QMimeData remoteOnly;
    remoteOnly.setUrls({QUrl("https://example.org/remote.bin")});
    QDragEnterEvent refused(QPoint(5, 5), Qt::CopyAction, &remoteOnly, Qt::LeftButton,
                            Qt::NoModifier);
    refused.ignore();
    QCoreApplication::sendEvent(env.form.get(), &refused);
    QVERIFY(!refused.isAccepted());
  }

  void localPaths_data() {
    QTest::addColumn<QUrl>("url");
    QTest::addColumn<QByteArray>("path");
    QTest::newRow("plain") << QUrl("file:///tmp/a.bin") << QByteArray("/tmp/a.bin");
    QTest::newRow("blank") << QUrl("file:///tmp/a%20b") << QByteArray("/tmp/a b");
    QTest::newRow("utf-8") << QUrl("file:///tmp/%E9%9F%B3") << QByteArray("/tmp/\xe9\x9f\xb3");
    QTest::newRow("not utf-8") << QUrl("file:///tmp/x%FFy") << QByteArray("/tmp/x\xffy");
    QTest::newRow("shift-jis 0x5c")
        << QUrl("file:///tmp/%95%5C.bin") << QByteArray("/tmp/\x95\\.bin");
    QTest::newRow("remote") << QUrl("https://example.org/a") << QByteArray();
  }

  void localPaths() {
    QFETCH(QUrl, url);
    QFETCH(QByteArray, path);
    const std::vector<std::string> got = sorvend::LocalPathsOfUrls({url});
    if (path.isEmpty()) {
      QVERIFY(got.empty());
    } else {
      QCOMPARE(got.size(), std::size_t{1});
      QCOMPARE(QByteArray::fromStdString(got[0]), path);
    }
  }

  // Two files dropped while the only file of a batch is being scanned join that batch; the
  // output numbers run on across files and folders.
  void dropDuringScan() {
    Env env;
    const Dib big{1024, 1024};  // 3 MiB of pixels: the scan takes many event passes
    const Dib small{8, 8};
    const std::string a = env.Put("a/big.bin", big.Stored());
    const std::string b = env.Put("b/two.bin", small.Stored());
    const std::string c = env.Put("c/three.bin", Join({Filler(20), small.Stored()}));
    bool droppedWhileBusy = false;
    QTimer::singleShot(0, [&] {
      droppedWhileBusy = env.form->Busy() && (env.form->Context().Flags & sorvend::Flag::InputOpen);
      env.form->Form1DropFiles({b, c});
    });
    env.form->Form1DropFiles({a});
    QVERIFY(droppedWhileBusy);
    QCOMPARE(Q(env.form->log), QStringList({LogLine(1, 1, "big.bin"), LogLine(2, 3, "two.bin"),
                                            LogLine(3, 3, "three.bin")}));
    QCOMPARE(ReadFile(env.dir.File("a/ANT0000.BMP")).size(), big.OutputSize());
    QCOMPARE(ReadFile(env.dir.File("b/ANT0001.BMP")).size(), small.OutputSize());
    QCOMPARE(ReadFile(env.dir.File("c/ANT0002.BMP")).size(), small.OutputSize());
    QVERIFY(env.form->QueuedPaths().empty());
    QCOMPARE(env.form->Memo1->toPlainText(), QString("ファイルを指定してください。"));
  }

  void hundredAndMoreFiles() {
    Env env;
    std::vector<std::string> paths;
    for (int i = 0; i < 120; ++i) {
      paths.push_back(env.Put(QString::asprintf("f%03d", i).toStdString(), Bytes{}));
    }
    env.form->Form1DropFiles(paths);
    QCOMPARE(env.form->log.size(), std::size_t{120});
    QCOMPARE(env.form->log[0], std::string("( 1/120) f000"));
    QCOMPARE(env.form->log[9], std::string("(10/120) f009"));
    QCOMPARE(env.form->log[99], std::string("(100/120) f099"));
    QCOMPARE(env.form->log[119], std::string("(120/120) f119"));
  }

  // The same path twice scans it twice, numbering on; a second batch numbers from 0 again.
  void samePathTwiceThenASecondBatch() {
    Env env;
    const Dib dib{8, 2};
    const std::string a = env.Put("a.bin", dib.Stored());
    env.form->Form1DropFiles({a, a});
    QCOMPARE(Q(env.form->log), QStringList({LogLine(1, 2, "a.bin"), LogLine(2, 2, "a.bin")}));
    QCOMPARE(ReadFile(env.dir.File("ANT0000.BMP")), ReadFile(env.dir.File("ANT0001.BMP")));
    QCOMPARE(ReadFile(env.dir.File("ANT0000.BMP")).size(), dib.OutputSize());

    QVERIFY(fs::remove(env.dir.path() / "ANT0000.BMP"));
    QVERIFY(fs::remove(env.dir.path() / "ANT0001.BMP"));
    env.form->Form1DropFiles({a});
    QVERIFY(env.Exists("ANT0000.BMP"));
    QVERIFY(!env.Exists("ANT0001.BMP"));
    QCOMPARE(env.form->log.back(), std::string("( 1/ 1) a.bin"));
  }

  // A folder dropped with a file behind it. Thorough: the files under it join the batch where
  // the folder stands, in byte order with each subfolder where its name comes, links not
  // followed, and the outputs go beside each file. Classic: the folder fails to open.
  void droppedFolder_data() {
    QTest::addColumn<bool>("thorough");
    QTest::newRow("classic") << false;
    QTest::newRow("thorough") << true;
  }

  void droppedFolder() {
    QFETCH(bool, thorough);
    Env env;
    const Dib dib{4, 4};
    env.Put("folder/b.bin", dib.Stored());
    env.Put("folder/a/x.bin", Join({Filler(5), dib.Stored()}));
    env.Put("folder/a/y", Filler(20));
    fs::create_directories(env.dir.path() / "folder/empty");
    fs::create_symlink(env.dir.File("folder/b.bin"), env.dir.File("folder/c-link"));
    const std::string after = env.Put("after.bin", dib.Stored());
    if (thorough) env.form->KT1->trigger();

    QMimeData mime;
    mime.setUrls({QUrl::fromLocalFile(QString::fromStdString(env.dir.File("folder"))),
                  QUrl::fromLocalFile(QString::fromStdString(after))});
    QDragEnterEvent enter(QPoint(5, 5), Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
    QCoreApplication::sendEvent(env.form.get(), &enter);
    QDropEvent drop(QPointF(5, 5), Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
    QCoreApplication::sendEvent(env.form.get(), &drop);
    QVERIFY(drop.isAccepted());
    QTRY_VERIFY(!env.form->log.empty() && !env.form->Busy());

    if (thorough) {
      QCOMPARE(Q(env.form->log), QStringList({LogLine(1, 4, "x.bin"), LogLine(2, 4, "y"),
                                              LogLine(3, 4, "b.bin"), LogLine(4, 4, "after.bin")}));
      QCOMPARE(ReadFile(env.dir.File("folder/a/ANT0000.BMP")).size(), dib.OutputSize());
      QCOMPARE(ReadFile(env.dir.File("folder/ANT0001.BMP")).size(), dib.OutputSize());
      QCOMPARE(ReadFile(env.dir.File("ANT0002.BMP")).size(), dib.OutputSize());
    } else {
      QCOMPARE(Q(env.form->log),
               QStringList({LogLine(1, 2, "folder"), QString("       オープンに失敗しました｡"),
                            LogLine(2, 2, "after.bin")}));
      QCOMPARE(ReadFile(env.dir.File("ANT0000.BMP")).size(), dib.OutputSize());
      QVERIFY(!env.Exists("folder/ANT0000.BMP"));
    }
    QCOMPARE(env.form->Memo1->toPlainText(), QString("ファイルを指定してください。"));
  }

  // A folder dropped during a thorough batch: its files join the running batch.
  void folderDroppedDuringThoroughScan() {
    Env env;
    const std::string big = env.Put("big.bin", Dib{1024, 1024}.Stored());
    env.Put("folder/one", Filler(10));
    env.Put("folder/sub/two", Filler(10));
    env.form->KT1->trigger();
    bool dropped = false;
    EveryPass step([&] {
      if (!env.form->Busy()) return false;
      env.form->Form1DropFiles({env.dir.File("folder")});
      dropped = true;
      return true;
    });
    env.form->Form1DropFiles({big});
    QVERIFY(dropped);
    QCOMPARE(Q(env.form->log),
             QStringList({LogLine(1, 1, "big.bin"), LogLine(2, 3, "one"), LogLine(3, 3, "two")}));
  }

  void cancelledOpenDialog() {
    Env env;
    bool asked = false;
    env.form->dialog = [&] {
      asked = true;
      return std::vector<std::string>{};
    };
    env.form->KO1->trigger();
    QVERIFY(asked);
    QVERIFY(env.form->log.empty());
    QCOMPARE(env.form->Memo1->toPlainText(),
             QString("Sorvend ver. 1.7\nファイルを指定してください。"));
    QVERIFY(env.form->QueuedPaths().empty());
  }

  void openCommandWhileIdle() {
    Env env;
    const std::string a = env.Put("x.bin", Filler(10));
    const std::string b = env.Put("y.bin", Filler(10));
    env.form->dialog = [&] { return std::vector<std::string>{b, a}; };
    env.form->KO1->trigger();
    QCOMPARE(Q(env.form->log), QStringList({LogLine(1, 2, "y.bin"), LogLine(2, 2, "x.bin")}));
  }

  // The dialog's own event loop runs inside the scan's KeepResponsive: the scan waits until it
  // is closed, and the chosen files join the batch.
  void openCommandDuringScan() {
    Env env;
    const Dib big{1024, 1024};
    const Dib small{8, 8};
    const std::string a = env.Put("big.bin", big.Stored());
    const std::string b = env.Put("sub/small.bin", small.Stored());
    std::int64_t before = -1;
    std::int64_t after = -2;
    env.form->dialog = [&] {
      before = env.form->Context().Position;
      QEventLoop modal;
      QTimer::singleShot(40, &modal, &QEventLoop::quit);
      modal.exec();
      after = env.form->Context().Position;
      return std::vector<std::string>{b};
    };
    QTimer::singleShot(0, env.form->KO1, &QAction::trigger);
    env.form->Form1DropFiles({a});
    QVERIFY(before > 0 && before < std::int64_t(big.Stored().size()));
    QCOMPARE(after, before);
    QCOMPARE(Q(env.form->log), QStringList({LogLine(1, 1, "big.bin"), LogLine(2, 2, "small.bin")}));
    QVERIFY(env.Exists("ANT0000.BMP"));
    QVERIFY(env.Exists("sub/ANT0001.BMP"));
  }

  void switchChangedDuringScan_data() {
    QTest::addColumn<bool>("untick");
    QTest::addColumn<bool>("secondCarved");
    QTest::newRow("left ticked") << false << true;
    QTest::newRow("unticked after the first") << true << false;
  }

  void switchChangedDuringScan() {
    QFETCH(bool, untick);
    QFETCH(bool, secondCarved);
    Env env;
    env.form->show();
    const Dib dib{8, 8};
    const std::string a =
        env.Put("a.bin", Join({dib.Stored(), Filler(512 << 10), dib.Stored(), Filler(64)}));
    EveryPass step([&] {
      if (!untick || env.form->Context().OutputCount < 1) return false;
      QTest::mouseClick(env.form->CBBmp, Qt::LeftButton);
      return true;
    });
    env.form->Form1DropFiles({a});
    QCOMPARE(env.form->CBBmp->isChecked(), !untick);
    QVERIFY(env.Exists("ANT0000.BMP"));
    QCOMPARE(env.Exists("ANT0001.BMP"), secondCarved);
  }

  // Timer1 ticks inside the scan's event passes: the bar moves while the file is read, never
  // backwards, and is back at 0 afterwards.
  void barMovesDuringScan() {
    Env env;
    const std::string a = env.Put("a.bin", Filler(8 << 20));
    std::vector<int> seen;
    bool timerActive = false;
    EveryPass step([&] {
      timerActive = timerActive || env.form->Timer1->isActive();
      seen.push_back(env.form->ProgressBar1->value());
      if (seen.back() > 0 && seen.size() >= 3) return true;
      // Long enough for Timer1 to fall due before the scan's next event pass.
      std::this_thread::sleep_for(std::chrono::milliseconds(12));
      return false;
    });
    env.form->Form1DropFiles({a});
    QVERIFY(timerActive);
    QVERIFY(std::is_sorted(seen.begin(), seen.end()));
    QVERIFY2(!seen.empty() && seen.back() > 0, "the bar never moved");
    QCOMPARE(env.form->ProgressBar1->value(), 0);
    QVERIFY(!env.form->Timer1->isActive());
  }

  void progress_data() {
    QTest::addColumn<qint64>("fileSize");
    QTest::addColumn<qint64>("position");
    QTest::addColumn<int>("bar");
    QTest::newRow("202 at 0") << qint64(202) << qint64(0) << 0;
    QTest::newRow("202 at 1") << qint64(202) << qint64(1) << 0;
    QTest::newRow("202 at 2") << qint64(202) << qint64(2) << 1;
    QTest::newRow("202 at 100") << qint64(202) << qint64(100) << 50;
    QTest::newRow("202 at 199") << qint64(202) << qint64(199) << 99;
    QTest::newRow("202 at 200") << qint64(202) << qint64(200) << 100;
    QTest::newRow("202 at 202") << qint64(202) << qint64(202) << 100;
    QTest::newRow("202 past the end") << qint64(202) << qint64(203) << 100;
    QTest::newRow("empty before the read") << qint64(0) << qint64(0) << 100;
    QTest::newRow("empty after the read") << qint64(0) << qint64(1) << 100;
    QTest::newRow("3 GB half way") << qint64(3000000000) << qint64(1500000000) << 50;
    QTest::newRow("2 GiB near the end") << qint64(0x7fffffff) << qint64(0x7fffffff - 1000) << 100;
    QTest::newRow("2 GiB half way") << qint64(0x7fffffff) << qint64(0x40000000) << 50;
    QTest::newRow("1 byte at 0") << qint64(1) << qint64(0) << 0;
    QTest::newRow("beyond 2^56") << std::numeric_limits<qint64>::max()
                                 << std::numeric_limits<qint64>::max() / 2 << 50;
  }

  void progress() {
    QFETCH(qint64, fileSize);
    QFETCH(qint64, position);
    QFETCH(int, bar);
    Env env;
    env.form->Context().FileSize = fileSize;
    env.form->Context().Position = position;
    env.form->Timer1Timer();
    QCOMPARE(env.form->ProgressBar1->value(), bar);
  }

  // A sparse file beyond 4 GiB: the bar climbs to 100 like for a small file, and objects past
  // 2 GiB and 4 GiB are carved.
  void barReachesFullBeyond4GiB() {
    Env env;
    const std::string big = env.dir.File("big.img");
    const Bytes dib = Dib{5, 3}.Stored();
    WriteSparseFile(big, {{(std::int64_t{1} << 31) + 5, dib},
                          {(std::int64_t{1} << 32) + 7, dib},
                          {(std::int64_t{1} << 32) + (8 << 20), {'x'}}});
    int highest = 0;
    QObject::connect(env.form->ProgressBar1, &QProgressBar::valueChanged,
                     [&](int value) { highest = std::max(highest, value); });
    env.form->Form1DropFiles({big});
    QCOMPARE(highest, 100);
    QCOMPARE(env.form->ProgressBar1->value(), 0);
    QVERIFY(env.Exists("ANT0000.BMP"));
    QVERIFY(env.Exists("ANT0001.BMP"));
    QCOMPARE(env.form->Context().Position, env.form->Context().FileSize);
  }

  void barNeverMovesBack() {
    Env env;
    auto& ctx = env.form->Context();
    ctx.FileSize = 202;
    std::vector<int> shown;
    for (std::int64_t position : {100, 50, 150, 0, 200}) {
      ctx.Position = position;
      env.form->Timer1Timer();
      shown.push_back(env.form->ProgressBar1->value());
    }
    QCOMPARE(shown, (std::vector<int>{50, 50, 75, 75, 100}));
  }

  void closeWhileIdle() {
    Env env;
    env.form->show();
    env.form->CBWav->setChecked(false);
    env.form->KX1->trigger();
    QVERIFY(!env.form->isVisible());
    QVERIFY(env.form->errors.isEmpty());
    const std::string text = TextOf(env.dir.File("sorvend.ini"));
    QVERIFY2(text.find("[Sorvend]") != std::string::npos, text.c_str());
    QVERIFY2(text.find("WAV=0") != std::string::npos, text.c_str());
    QVERIFY2(text.find("BMP=1") != std::string::npos, text.c_str());
    QVERIFY2(text.find("Thorough=0") != std::string::npos, text.c_str());
  }

  // A close request in the middle of an output: settings written, both streams closed, the
  // partial output left as far as it was written, and no further path scanned.
  void closeDuringScan() {
    Env env;
    env.form->show();
    const Dib big{2048, 1024};  // 6 MiB of pixels
    const Dib small{8, 8};
    const Bytes input = big.Stored();
    const std::string a = env.Put("a.bin", input);
    const std::string b = env.Put("next/b.bin", small.Stored());
    bool closedInsideCopy = false;
    EveryPass step([&] {
      if (!(env.form->Context().Flags & sorvend::Flag::OutputOpen)) return false;
      closedInsideCopy = true;
      env.form->close();
      return true;
    });
    env.form->Form1DropFiles({a, b});

    QVERIFY(closedInsideCopy);
    QVERIFY(!env.form->isVisible());
    QVERIFY(env.form->errors.isEmpty());
    QVERIFY(fs::exists(env.dir.path() / "sorvend.ini"));
    const auto& ctx = env.form->Context();
    QCOMPARE(ctx.Flags & (sorvend::Flag::InputOpen | sorvend::Flag::OutputOpen), 0u);
    QVERIFY(!ctx.InFile.IsOpen());
    QVERIFY(!ctx.OutFile.IsOpen());
    QVERIFY(!env.form->Busy());
    QVERIFY(env.form->KT1->isEnabled());
    QVERIFY(env.form->QueuedPaths().empty());
    QCOMPARE(env.form->log, std::vector<std::string>{"( 1/ 2) a.bin"});
    QVERIFY(!env.Exists("next/ANT0001.BMP"));

    const Bytes partial = ReadFile(env.dir.File("ANT0000.BMP"));
    QVERIFY(partial.size() > 54);
    QVERIFY(partial.size() < big.OutputSize());
    // What was written is the start of the full output: header, then the pixels in order.
    const Bytes pixels(input.begin() + 40, input.begin() + 40 + (partial.size() - 54));
    QVERIFY(Bytes(partial.begin() + 54, partial.end()) == pixels);
  }

  // Inside the main loop a close in the middle of a scan ends the loop as soon as the batch
  // has unwound.
  void closeDuringScanEndsMainLoop() {
    Env env;
    env.form->show();
    const Dib big{2048, 1024};
    const std::string a = env.Put("a.bin", big.Stored());
    bool batchReturned = false;
    bool gaveUp = false;
    QTimer::singleShot(0, [&] {
      env.form->Form1DropFiles({a});
      batchReturned = true;
    });
    EveryPass step([&] {
      if (!(env.form->Context().Flags & sorvend::Flag::OutputOpen)) return false;
      env.form->close();
      return true;
    });
    QTimer limit;
    limit.setSingleShot(true);
    QObject::connect(&limit, &QTimer::timeout, [&] {
      gaveUp = true;
      QCoreApplication::quit();
    });
    limit.start(10000);
    QApplication::exec();
    QVERIFY(batchReturned);
    QVERIFY(!gaveUp);
    QVERIFY(ReadFile(env.dir.File("ANT0000.BMP")).size() < big.OutputSize());
  }

  // The settings cannot be written (their folder would have to be made below a regular
  // file): the error is shown and the window stays, idle or in the middle of a scan.
  void failedSettingsWrite_data() {
    QTest::addColumn<bool>("duringScan");
    QTest::newRow("idle") << false;
    QTest::newRow("during a scan") << true;
  }

  void failedSettingsWrite() {
    QFETCH(bool, duringScan);
    ScratchDir dir;
    WriteFile(dir.File("plain"), Bytes{1});
    const std::string ini = dir.File("plain/sub/sorvend.ini");
    Form form(ini);
    form.show();
    const Dib big{1024, 1024};
    const std::string a = dir.File("a.bin");
    WriteFile(a, big.Stored());
    if (duringScan) {
      EveryPass step([&] {
        form.close();
        return true;
      });
      form.Form1DropFiles({a});
      // The scan went on to the end.
      QCOMPARE(ReadFile(dir.File("ANT0000.BMP")).size(), big.OutputSize());
    } else {
      QVERIFY(!form.close());
    }
    QVERIFY(form.isVisible());
    QCOMPARE(form.errors, QStringList{QString::fromStdString(ini + " に書き込めません")});
    QVERIFY(!fs::exists(ini));
  }

  void errorInHandlerIsShown() {
    Env env;
    env.form->dialog = []() -> std::vector<std::string> {
      throw std::runtime_error("dialog broke");
    };
    env.form->KO1->trigger();
    QCOMPARE(env.form->errors, QStringList{"dialog broke"});
    QVERIFY(!env.form->Busy());
  }

  // An error escaping the scan of one file ends the batch cleanly: nothing left open, Busy
  // clear, the prompt back; the next drop starts a new batch.
  void errorEscapingScan() {
    Env env;
    const Dib dib{8, 8};
    const std::string good = env.Put("good.bin", dib.Stored());
    env.form->throwOnOpenFailure = true;
    env.form->Form1DropFiles({env.dir.File("missing.bin"), good});
    QCOMPARE(env.form->errors, QStringList{"log failed"});
    QVERIFY(!env.form->Busy());
    QVERIFY(env.form->KT1->isEnabled());
    QVERIFY(env.form->QueuedPaths().empty());
    QCOMPARE(env.form->Memo1->toPlainText(), QString("ファイルを指定してください。"));
    QVERIFY(!env.Exists("ANT0000.BMP"));

    env.form->log.clear();
    env.form->Form1DropFiles({good});
    QCOMPARE(env.form->log, std::vector<std::string>{"( 1/ 1) good.bin"});
    QVERIFY(env.Exists("ANT0000.BMP"));
  }
};

QTEST_MAIN(Form1Test)
#include "form1_test.moc"
