// The results window offscreen: rows added while a batch writes its outputs, the filters and the
// summary, thumbnails for the pictures Qt reads and icons for everything else, the bound on
// their memory, the size rule for huge pictures, the actions on an output, and its settings.
#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QClipboard>
#include <QHeaderView>
#include <QImageReader>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QScrollBar>
#include <QTableView>
#include <QTimer>
#include <QtTest>
#include <filesystem>
#include <functional>
#include <memory>

#include "app/form1.h"
#include "app/results_model.h"
#include "app/results_window.h"
#include "app/thumbnails.h"
#include "engine/scan.h"
#include "engine/unpack.h"
#include "tests/support/test_support.h"

using sorvend::KindGroup;
using sorvend::LookOutcome;
using sorvend::OutputRecord;
using sorvend::ResultsModel;
using sorvend::ResultsWindow;
using sorvend::test::BareDib;
using sorvend::test::Bytes;
using sorvend::test::Filler;
using sorvend::test::Join;
using sorvend::test::ReadTestData;
using sorvend::test::ScratchDir;
using sorvend::test::WriteFile;
using sorvend::test::WriteSparseFile;
namespace fs = std::filesystem;

namespace {

// A row as the engine would report it, for an output at `path` of the extension `kind`.
sorvend::ResultRow RowFor(const std::string& path, const std::string& kind, std::int64_t size,
                          const QString& source = "/in/game.dat", std::int64_t offset = 0) {
  return ResultsModel::RowOf(OutputRecord{path, kind, offset, size}, source);
}

// Copies a sample to `name` in `dir`; the row's size is the file's.
sorvend::ResultRow SampleRow(const ScratchDir& dir, const std::string& sample,
                             const std::string& name, const std::string& kind) {
  const Bytes bytes = ReadTestData(sample);
  WriteFile(dir.File(name), bytes);
  return RowFor(dir.File(name), kind, static_cast<std::int64_t>(bytes.size()));
}

// Asks for every row's decoration, as a view painting them would, and waits for the answers.
void LookAtAll(ResultsModel& model) {
  for (int r = 0; r < model.rowCount(); ++r) model.data(model.index(r, 0), Qt::DecorationRole);
  QTRY_VERIFY_WITH_TIMEOUT(model.Loader().Idle(), 20000);
  QCoreApplication::processEvents();
}

bool HasThumbnail(const ResultsModel& model, int row) {
  return !model.Thumbnail(row).isNull() &&
         model.data(model.index(row, 0), Qt::DecorationRole).typeId() == QMetaType::QImage;
}

// A 1-bit PNG of the given size: a few KiB on disk, whatever its pixel count.
void WriteMonoPng(const QString& path, int width, int height) {
  QImage image(width, height, QImage::Format_Mono);
  image.fill(0);
  QVERIFY(image.save(path, "PNG"));
}

struct Window {
  ResultsModel model;
  ResultsWindow window{&model};
  std::vector<QUrl> opened;
  std::vector<QString> revealed;
  bool revealWorks = false;

  Window() {
    window.OpenUrl = [this](const QUrl& url) {
      opened.push_back(url);
      return true;
    };
    window.RevealFile = [this](const QString& path) {
      revealed.push_back(path);
      return revealWorks;
    };
  }
  void Fill(std::vector<sorvend::ResultRow> rows) {
    for (auto& row : rows) model.Add(std::move(row));
    model.Flush();
  }
  QStringList ShownNames() const {
    QStringList names;
    for (int r = 0; r < window.Filter->rowCount(); ++r) {
      names << window.Filter->index(r, sorvend::kNameColumn).data().toString();
    }
    return names;
  }
  void Select(std::initializer_list<int> rows) {
    window.Table->clearSelection();
    for (int r : rows) {
      window.Table->selectionModel()->select(
          window.Filter->index(r, 0), QItemSelectionModel::Select | QItemSelectionModel::Rows);
    }
    window.Table->selectionModel()->setCurrentIndex(window.Filter->index(*rows.begin(), 0),
                                                    QItemSelectionModel::NoUpdate);
  }
};

// Five outputs of four groups from two inputs.
std::vector<sorvend::ResultRow> MixedRows() {
  return {
      RowFor("/out/ANT0000.BMP", "BMP", 1000, "/in/Title.exe", 0x10),
      RowFor("/out/ANT0001.WAV", "WAV", 2000, "/in/Title.exe", 0x2000),
      RowFor("/out/ANT0002.MID", "MID", 300, "/in/music.pak", 0x40),
      RowFor("/out/ANT0003.AVI", "AVI", 1 << 20, "/in/music.pak", 0x9000),
      RowFor("/out/ANT0004.ogg", "ogg", 4000, "/in/music.pak", 0xA0000),
  };
}

}  // namespace

class ResultsTest : public QObject {
  Q_OBJECT

 private slots:
  void initTestCase() { QApplication::setQuitOnLastWindowClosed(false); }

  // The columns of one row, from what the engine reported and the kind record.
  void rowShowsTheOutput() {
    ResultsModel model;
    sorvend::ResultRow row = RowFor("/out/ANT0007.WAV", "WAV", 123456, "/in/a b.dat", 0x1f2e);
    row.cut = true;
    model.Add(std::move(row));
    model.Flush();
    const auto text = [&](int column) { return model.index(0, column).data().toString(); };
    QCOMPARE(text(sorvend::kNameColumn), QString("ANT0007.WAV"));
    QCOMPARE(text(sorvend::kKindColumn), QString("WAV（音声）"));
    QCOMPARE(text(sorvend::kSizeColumn), QString("123,456"));
    QCOMPARE(text(sorvend::kSourceColumn), QString("/in/a b.dat"));
    QCOMPARE(text(sorvend::kOffsetColumn), QString("0x00001f2e"));
    QCOMPARE(text(sorvend::kCutColumn), QString("途切れ"));
    QCOMPARE(text(sorvend::kWithinColumn), QString());  // found in the input itself
    QCOMPARE(model.index(0, 0).data(sorvend::kPathRole).toString(), QString("/out/ANT0007.WAV"));
    QCOMPARE(model.index(0, 0).data(sorvend::kGroupRole).toInt(),
             static_cast<int>(KindGroup::Sound));
    QCOMPARE(model.headerData(sorvend::kWithinColumn, Qt::Horizontal).toString(),
             QString("アーカイブ内の場所"));
  }

  // The path through the containers, outermost first.
  void withinColumn() {
    ResultsModel model;
    OutputRecord record{"/out/ANT0000.PNG", "PNG", 0x20, 100};
    record.within = {{"zip", 0x400, "sprites/タイトル.png.gz"}, {"gzip", 0, ""}};
    model.Add(ResultsModel::RowOf(record, "/in/game.dat"));
    model.Flush();
    QCOMPARE(model.index(0, sorvend::kWithinColumn).data().toString(),
             QString("zip 0x00000400 sprites/タイトル.png.gz › gzip 0x00000000"));
    QCOMPARE(model.index(0, sorvend::kOffsetColumn).data().toString(), QString("0x00000020"));
  }

  // Rows wait for the flush, which the timer runs while events are handled.
  void rowsAreAddedTogether() {
    ResultsModel model;
    QSignalSpy inserted(&model, &QAbstractItemModel::rowsInserted);
    for (auto& row : MixedRows()) model.Add(std::move(row));
    QCOMPARE(model.rowCount(), 0);
    QTRY_COMPARE(model.rowCount(), 5);
    QCOMPARE(inserted.size(), 1);
    model.Clear();
    QCOMPARE(model.rowCount(), 0);
    QCOMPARE(model.Summary().count, 0);
  }

  // A batch through the real window: the first output is listed while the scan is still far
  // from the second.
  void rowsAppearAsOutputsAreWritten() {
    ScratchDir dir;
    WriteFile(dir.File("sorvend.ini"), {});
    TForm1 form(dir.File("sorvend.ini"));
    const Bytes dib = BareDib(5, 3);
    const std::string input = dir.File("game.dat");
    // A long hole between the two bitmaps: scanning it takes far longer than a flush interval.
    WriteSparseFile(input, {{4096, dib}, {std::int64_t{1} << 31, dib}});
    int rowsDuringScan = -1;
    QTimer watch;
    watch.setInterval(0);
    QObject::connect(&watch, &QTimer::timeout, [&] {
      if (form.Busy() && form.Results1->rowCount() > 0 && rowsDuringScan < 0) {
        rowsDuringScan = form.Results1->rowCount();
        sorvend::CloseStreams(form.Context());  // seen: the rest of the scan is not needed
      }
    });
    watch.start();
    form.Form1DropFiles({input});
    watch.stop();
    QCOMPARE(rowsDuringScan, 1);
    const sorvend::ResultRow& row = form.Results1->Row(0);
    QCOMPARE(row.path, QString::fromStdString(dir.File("ANT0000.BMP")));
    QCOMPARE(row.source, QString::fromStdString(input));
    QCOMPARE(row.offset, 4096);
    QCOMPARE(row.size, static_cast<std::int64_t>(54 + dib.size() - 40));
    QCOMPARE(row.group, KindGroup::Picture);

    // The next batch starts a new list.
    const std::string small = dir.File("small.dat");
    WriteFile(small, Join({Filler(100), dib, Filler(50), dib}));
    form.Form1DropFiles({small});
    QCOMPARE(form.Results1->rowCount(), 2);
    QCOMPARE(form.Results1->Row(1).offset, 100 + static_cast<std::int64_t>(dib.size()) + 50);
  }

  // An output found in a compressed stream shows the stream in its row.
  void outputInsideAStream() {
    ScratchDir dir;
    TForm1 form(dir.File("sorvend.ini"));  // a first start: thorough
    sorvend::Unpacker unpacker;
    form.Context().unpacker = &unpacker;
    const std::string input = dir.File("sound.gz");
    WriteFile(input, ReadTestData("archives/lavf.wav.gz"));
    form.Form1DropFiles({input});
    QCOMPARE(form.Results1->rowCount(), 1);
    QCOMPARE(form.Results1->index(0, sorvend::kKindColumn).data().toString(),
             QString("WAV（音声）"));
    QCOMPARE(form.Results1->index(0, sorvend::kWithinColumn).data().toString(),
             QString("gzip 0x00000000 lavf.wav"));  // the name the gzip header keeps
  }

  void filters_data() {
    QTest::addColumn<QList<bool>>("groups");  // 音楽, 音声, 画像, 動画
    QTest::addColumn<QString>("text");
    QTest::addColumn<QStringList>("shown");
    const QList<bool> all{true, true, true, true};
    QTest::newRow("everything") << all << QString()
                                << QStringList{"ANT0000.BMP", "ANT0001.WAV", "ANT0002.MID",
                                               "ANT0003.AVI", "ANT0004.ogg"};
    QTest::newRow("sound only") << QList<bool>{false, true, false, false} << QString()
                                << QStringList{"ANT0001.WAV", "ANT0004.ogg"};
    QTest::newRow("music and video") << QList<bool>{true, false, false, true} << QString()
                                     << QStringList{"ANT0002.MID", "ANT0003.AVI"};
    QTest::newRow("nothing") << QList<bool>{false, false, false, false} << QString()
                             << QStringList{};
    QTest::newRow("name, any case") << all << QString("ant0003") << QStringList{"ANT0003.AVI"};
    QTest::newRow("extension") << all << QString(".OGG") << QStringList{"ANT0004.ogg"};
    QTest::newRow("source") << all << QString("title.EXE")
                            << QStringList{"ANT0000.BMP", "ANT0001.WAV"};
    QTest::newRow("source and group")
        << QList<bool>{false, true, true, true} << QString("music.pak")
        << QStringList{"ANT0003.AVI", "ANT0004.ogg"};
    // The folder of the output is not its name.
    QTest::newRow("output folder") << all << QString("/out") << QStringList{};
    QTest::newRow("no match") << all << QString("zzz") << QStringList{};
  }

  void filters() {
    QFETCH(QList<bool>, groups);
    QFETCH(QString, text);
    QFETCH(QStringList, shown);
    Window w;
    w.Fill(MixedRows());
    for (int g = 0; g < sorvend::kGroupCount; ++g) {
      w.window.GroupSwitches[static_cast<std::size_t>(g)]->setChecked(groups[g]);
    }
    w.window.FilterText->setText(text);
    QCOMPARE(w.ShownNames(), shown);
    // Rows added later go through the same filter.
    w.Fill({RowFor("/out/ANT0005.WAV", "WAV", 1, "/in/late.bin")});
    const bool lateShown = groups[1] && (text.isEmpty() || QString("late.bin").contains(text));
    QCOMPARE(w.window.Filter->rowCount(), static_cast<int>(shown.size()) + (lateShown ? 1 : 0));
    // And clearing the filters brings every row back.
    for (QCheckBox* box : w.window.GroupSwitches) box->setChecked(true);
    w.window.FilterText->clear();
    QCOMPARE(w.window.Filter->rowCount(), 6);
  }

  void summary() {
    Window w;
    w.Fill(MixedRows());
    QCOMPARE(w.window.SummaryLine->text(),
             QString("5 件（音楽 1・音声 2・画像 1・動画 1）合計 1.0 MB"));
    w.window.FilterText->setText("title");
    QCOMPARE(w.window.SummaryLine->text(),
             QString("5 件（音楽 1・音声 2・画像 1・動画 1）合計 1.0 MB　表示 2 件"));
    w.window.FilterText->clear();
    std::vector<sorvend::ResultRow> many;
    for (int i = 0; i < 1200; ++i) many.push_back(RowFor("/out/x.BMP", "BMP", 1024));
    w.Fill(std::move(many));
    QCOMPARE(w.window.SummaryLine->text(),
             QString("1,205 件（音楽 1・音声 2・画像 1,201・動画 1）合計 2.2 MB"));
    w.model.Clear();
    QCOMPARE(w.window.SummaryLine->text(),
             QString("0 件（音楽 0・音声 0・画像 0・動画 0）合計 0 B"));
  }

  // Each picture kind Qt's plugins read gets a thumbnail; sounds, videos and pictures Qt cannot
  // read keep their group's icon.
  void thumbnailsForPictureKindsOnly_data() {
    QTest::addColumn<QString>("sample");
    QTest::addColumn<QString>("kind");
    QTest::addColumn<bool>("thumbnail");
    QTest::newRow("BMP") << "bmp/rgb24.bmp"
                         << "BMP" << true;
    QTest::newRow("PNG") << "png/plasma.png"
                         << "PNG" << true;
    QTest::newRow("JPEG") << "jpeg/plasma.jpg"
                          << "JPG" << true;
    QTest::newRow("GIF") << "gif/plain89a.gif"
                         << "GIF" << true;
    QTest::newRow("ICO") << "ico/vista.ico"
                         << "ICO" << true;
    QTest::newRow("TIFF") << "tiff/le.tif"
                          << "TIF" << true;
    QTest::newRow("WebP") << "riff/lossy.webp"
                          << "WEBP" << true;
    QTest::newRow("TGA") << "tga/ffraw.tga"
                         << "TGA" << true;
    // Qt's TGA reader takes uncompressed pictures with the version 2 footer only: the icon stays.
    QTest::newRow("TGA run-length") << "tga/rle.tga"
                                    << "TGA" << false;
    QTest::newRow("ICNS") << "icns/small.icns"
                          << "ICNS" << true;
    QTest::newRow("PCX, which Qt does not read") << "pcx/pal.pcx"
                                                 << "PCX" << false;
    QTest::newRow("WAV") << "riff/tone.wav"
                         << "WAV" << false;
    QTest::newRow("AVI") << "riff/clip.avi"
                         << "AVI" << false;
    QTest::newRow("ANI") << "riff/spin.ani"
                         << "ANI" << false;
    // A picture kind whose bytes are no picture.
    QTest::newRow("PNG holding a sound") << "riff/tone.wav"
                                         << "PNG" << false;
  }

  void thumbnailsForPictureKindsOnly() {
    QFETCH(QString, sample);
    QFETCH(QString, kind);
    QFETCH(bool, thumbnail);
    ScratchDir dir;
    ResultsModel model;
    model.Add(
        SampleRow(dir, sample.toStdString(), "ANT0000." + kind.toStdString(), kind.toStdString()));
    model.Flush();
    LookAtAll(model);
    QCOMPARE(HasThumbnail(model, 0), thumbnail);
    if (thumbnail) {
      const QImage image = model.Thumbnail(0);
      QVERIFY(image.width() <= sorvend::kThumbnailSide);
      QVERIFY(image.height() <= sorvend::kThumbnailSide);
      QVERIFY(image.width() == sorvend::kThumbnailSide ||
              image.height() == sorvend::kThumbnailSide ||
              image.size() ==
                  QImageReader(QString::fromStdString(dir.File("ANT0000." + kind.toStdString())))
                      .read()
                      .size());
    } else {
      QCOMPARE(model.data(model.index(0, 0), Qt::DecorationRole).typeId(),
               QMetaType::QPixmap);  // the group icon
    }
    QVERIFY(!model.index(0, 0).data(sorvend::kMissingRole).toBool());
  }

  // An icon's thumbnail is made from its largest image, whichever place it has in the file.
  void iconThumbnailFromItsLargestImage() {
    ScratchDir dir;
    QString path = QString::fromStdString(dir.File("ANT0000.ICO"));
    WriteFile(path.toStdString(), ReadTestData("ico/vista.ico"));
    QImageReader reader(path);
    QSize largest;
    for (int i = 0; i < reader.imageCount() && reader.jumpToImage(i); ++i) {
      if (reader.size().width() > largest.width()) largest = reader.size();
    }
    QVERIFY(largest.width() > QImageReader(path).size().width());  // not the first one
    const sorvend::LookResult look = sorvend::LookAt(
        path, static_cast<std::int64_t>(fs::file_size(path.toStdString())), true, QSize(256, 256));
    QCOMPARE(look.outcome, LookOutcome::Picture);
    QCOMPARE(look.image.size(), largest.boundedTo(QSize(256, 256)));
  }

  // Decoding is decided by the size in the header, before any pixel is read.
  void sizeRule_data() {
    QTest::addColumn<QSize>("size");
    QTest::addColumn<bool>("tooLarge");
    QTest::newRow("50 MP exactly") << QSize(10000, 5000) << false;
    QTest::newRow("one row more") << QSize(10000, 5001) << true;
    QTest::newRow("square above") << QSize(7072, 7071) << true;
    QTest::newRow("long strip") << QSize(50'000'000, 1) << false;
    QTest::newRow("largest sides") << QSize(65535, 65535) << true;
    QTest::newRow("unknown") << QSize() << false;
    QTest::newRow("small") << QSize(64, 64) << false;
  }

  void sizeRule() {
    QFETCH(QSize, size);
    QFETCH(bool, tooLarge);
    QCOMPARE(sorvend::TooLargeToDecode(size), tooLarge);
  }

  // A valid picture just above the bound keeps its icon, in the list and the preview; one just
  // below the bound of the preview is read.
  void hugePictureKeepsItsIcon() {
    ScratchDir dir;
    const QString huge = QString::fromStdString(dir.File("ANT0000.PNG"));
    WriteMonoPng(huge, 10000, 5001);
    QCOMPARE(QImageReader(huge).size(), QSize(10000, 5001));
    const auto size = static_cast<std::int64_t>(fs::file_size(huge.toStdString()));
    QCOMPARE(sorvend::LookAt(huge, size, true, QSize(48, 48)).outcome, LookOutcome::TooLarge);

    Window w;
    w.Fill({RowFor(huge.toStdString(), "PNG", size)});
    LookAtAll(w.model);
    QVERIFY(!HasThumbnail(w.model, 0));
    QVERIFY(!w.model.index(0, 0).data(sorvend::kMissingRole).toBool());
    w.window.Table->setCurrentIndex(w.window.Filter->index(0, 0));
    QTRY_VERIFY(w.window.PreviewPane->text().contains("5,000 万画素"));
    QVERIFY(w.window.PreviewImage().isNull());

    const QString wide = QString::fromStdString(dir.File("ANT0001.PNG"));
    WriteMonoPng(wide, 4000, 300);
    const auto wideSize = static_cast<std::int64_t>(fs::file_size(wide.toStdString()));
    QCOMPARE(sorvend::LookAt(wide, wideSize, true, QSize(48, 48)).outcome, LookOutcome::Picture);
  }

  // An output deleted or changed after it was listed shows as missing; one left alone does not.
  void changedOnDisk_data() {
    QTest::addColumn<int>("change");  // 0 none, 1 deleted, 2 shortened, 3 grown
    QTest::addColumn<bool>("missing");
    QTest::newRow("untouched") << 0 << false;
    QTest::newRow("deleted") << 1 << true;
    QTest::newRow("shortened") << 2 << true;
    QTest::newRow("grown") << 3 << true;
  }

  void changedOnDisk() {
    QFETCH(int, change);
    QFETCH(bool, missing);
    ScratchDir dir;
    Window w;
    w.Fill({SampleRow(dir, "png/gradient.png", "ANT0000.PNG", "PNG"),
            SampleRow(dir, "riff/tone.wav", "ANT0001.WAV", "WAV")});
    for (const char* name : {"ANT0000.PNG", "ANT0001.WAV"}) {
      const std::string path = dir.File(name);
      if (change == 1) fs::remove(path);
      if (change == 2) fs::resize_file(path, fs::file_size(path) - 1);
      if (change == 3) fs::resize_file(path, fs::file_size(path) + 1);
    }
    LookAtAll(w.model);
    for (int r = 0; r < 2; ++r) {
      QCOMPARE(w.model.index(r, 0).data(sorvend::kMissingRole).toBool(), missing);
      QCOMPARE(
          w.model.index(r, sorvend::kNameColumn).data().toString().endsWith("（見つかりません）"),
          missing);
    }
    QCOMPARE(HasThumbnail(w.model, 0), !missing);
    // Opening a missing output hands nothing to the desktop.
    w.window.Table->setCurrentIndex(w.window.Filter->index(1, 0));
    w.window.OpenCurrent();
    QCOMPARE(w.opened.size(), missing ? 0u : 1u);
  }

  // A file listed as present and deleted while the window was closed is found gone when it is
  // shown again.
  void showingAgainLooksAgain() {
    ScratchDir dir;
    Window w;
    w.Fill({SampleRow(dir, "riff/tone.wav", "ANT0000.WAV", "WAV")});
    w.window.show();
    LookAtAll(w.model);
    QVERIFY(!w.model.Missing(0));
    w.window.hide();
    fs::remove(dir.File("ANT0000.WAV"));
    w.window.show();
    LookAtAll(w.model);
    QVERIFY(w.model.Missing(0));
  }

  // Whatever the batch, the thumbnails kept stay within the bound; one dropped is made again
  // when its row is seen again.
  void thumbnailCacheIsBounded() {
    QCOMPARE(ResultsModel().ThumbnailLimit(), qsizetype{64} << 20);
    ScratchDir dir;
    // Room for three 48 x 48 thumbnails of 4 bytes a pixel.
    constexpr qsizetype kRoom = 3 * 48 * 48 * 4;
    ResultsModel model(nullptr, kRoom);
    for (int i = 0; i < 10; ++i) {
      model.Add(SampleRow(dir, "png/plasma.png", "ANT000" + std::to_string(i) + ".PNG", "PNG"));
    }
    model.Flush();
    LookAtAll(model);
    int kept = 0;
    for (int r = 0; r < 10; ++r) kept += model.Thumbnail(r).isNull() ? 0 : 1;
    QCOMPARE(kept, 3);
    QVERIFY(model.ThumbnailBytes() <= kRoom);
    int dropped = 0;
    while (!model.Thumbnail(dropped).isNull()) ++dropped;
    model.data(model.index(dropped, 0), Qt::DecorationRole);
    QTRY_VERIFY(!model.Thumbnail(dropped).isNull());
    QVERIFY(model.ThumbnailBytes() <= kRoom);
  }

  // Only the rows the view shows are looked at.
  void thumbnailsOnlyForRowsInView() {
    ScratchDir dir;
    Window w;
    const auto row = SampleRow(dir, "png/gradient.png", "ANT0000.PNG", "PNG");
    w.Fill(std::vector<sorvend::ResultRow>(2000, row));
    w.window.resize(800, 400);
    w.window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&w.window));
    QTRY_VERIFY(HasThumbnail(w.model, 0));
    QTRY_VERIFY(w.model.Loader().Idle());
    QVERIFY(!HasThumbnail(w.model, 1999));
    QVERIFY(w.model.Thumbnail(1000).isNull());
    w.window.Table->scrollToBottom();
    QTRY_VERIFY(!w.model.Thumbnail(1999).isNull());
    QVERIFY(w.model.Thumbnail(1000).isNull());
  }

  void preview() {
    ScratchDir dir;
    Window w;
    w.Fill({SampleRow(dir, "png/plasma.png", "ANT0000.PNG", "PNG"),
            SampleRow(dir, "riff/tone.wav", "ANT0001.WAV", "WAV")});
    w.window.resize(900, 500);
    w.window.show();
    w.window.Table->setCurrentIndex(w.window.Filter->index(0, 0));
    QTRY_VERIFY(!w.window.PreviewImage().isNull());
    QCOMPARE(w.window.PreviewImage().size(), QImageReader(w.model.Row(0).path).size());
    const QSize room = w.window.PreviewPane->contentsRect().size();
    const QSize shown = w.window.PreviewPane->pixmap().size();
    QVERIFY(shown.width() <= room.width() && shown.height() <= room.height());
    // Scaled to fit: it touches the pane on one side.
    QVERIFY(room.width() - shown.width() < w.window.PreviewImage().width() ||
            room.height() - shown.height() < w.window.PreviewImage().height());
    w.window.Table->setCurrentIndex(w.window.Filter->index(1, 0));
    QVERIFY(w.window.PreviewImage().isNull());
    QCOMPARE(w.window.PreviewPane->text(), QString("プレビューは画像のみです"));
  }

  // Enter, a double-click and the context menu's item all open the output itself; the folder
  // item opens its folder.
  void openHandsOverTheRightUrl_data() {
    QTest::addColumn<int>("how");  // 0 Enter, 1 double-click, 2 context menu
    QTest::newRow("Enter") << 0;
    QTest::newRow("double-click") << 1;
    QTest::newRow("context menu") << 2;
  }

  void openHandsOverTheRightUrl() {
    QFETCH(int, how);
    ScratchDir dir;
    Window w;
    w.Fill({SampleRow(dir, "riff/tone.wav", "ANT0000.WAV", "WAV"),
            SampleRow(dir, "png/gradient.png", "ANT 0001 ü.PNG", "PNG")});
    w.window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&w.window));
    const QModelIndex second = w.window.Filter->index(1, sorvend::kNameColumn);
    w.window.Table->setCurrentIndex(second);
    if (how == 0) {
      w.window.Table->setFocus();
      QTest::keyClick(w.window.Table, Qt::Key_Return);
    } else if (how == 1) {
      const QPoint at = w.window.Table->visualRect(second).center();
      // A real double-click: a click, then the second press that the system reports as double.
      QTest::mouseClick(w.window.Table->viewport(), Qt::LeftButton, {}, at);
      QTest::mouseDClick(w.window.Table->viewport(), Qt::LeftButton, {}, at);
    } else {
      w.window.OpenItem->trigger();
    }
    QCOMPARE(w.opened.size(), 1u);
    QCOMPARE(w.opened[0], QUrl::fromLocalFile(QString::fromStdString(dir.File("ANT 0001 ü.PNG"))));
    QVERIFY(w.opened[0].isLocalFile());

    // Without a file manager to select the file, its folder is opened.
    w.window.FolderItem->trigger();
    QCOMPARE(w.revealed, std::vector<QString>{QString::fromStdString(dir.File("ANT 0001 ü.PNG"))});
    QCOMPARE(w.opened.size(), 2u);
    QCOMPARE(w.opened[1], QUrl::fromLocalFile(QString::fromStdString(dir.path().string())));
    w.revealWorks = true;
    w.window.FolderItem->trigger();
    QCOMPARE(w.revealed.size(), 2u);
    QCOMPARE(w.opened.size(), 2u);
  }

  void contextMenuCopiesPaths() {
    Window w;
    w.Fill(MixedRows());
    w.window.FilterText->setText("ANT000");  // through the filter: proxy rows are not model rows
    w.window.GroupSwitches[0]->setChecked(false);
    w.Select({2, 0});
    w.window.CopyItem->trigger();
    QCOMPARE(QGuiApplication::clipboard()->text(), QString("/out/ANT0000.BMP\n/out/ANT0003.AVI"));
    w.Select({1});
    w.window.CopyItem->trigger();
    QCOMPARE(QGuiApplication::clipboard()->text(), QString("/out/ANT0001.WAV"));
    QCOMPARE(w.window.ContextMenu->actions(),
             (QList<QAction*>{w.window.OpenItem, w.window.FolderItem, w.window.CopyItem}));
    QCOMPARE(w.window.OpenItem->text(), QString("開く(&O)"));
    QCOMPARE(w.window.CopyItem->text(), QString("パスをコピー(&C)"));
  }

  // 表示 → 結果一覧 opens the window; its place, size and state are kept; closing the main
  // window closes it.
  void settingsRoundTrip_data() {
    QTest::addColumn<bool>("open");
    QTest::newRow("open at close") << true;
    QTest::newRow("closed at close") << false;
  }

  void settingsRoundTrip() {
    QFETCH(bool, open);
    ScratchDir dir;
    const std::string ini = dir.File("sorvend.ini");
    sorvend::test::WriteText(ini, "[Mine]\nResultsOpen=7\n");
    {
      TForm1 form(ini);
      QCOMPARE(form.V1->title(), QString("表示(&V)"));
      QCOMPARE(form.V1->actions(), QList<QAction*>{form.KR1});
      QCOMPARE(form.KR1->text(), QString("結果一覧(&R)"));
      QVERIFY(!form.ResultsWindow1->isVisible());
      form.show();
      form.KR1->trigger();
      QVERIFY(form.ResultsWindow1->isVisible());
      form.ResultsWindow1->move(120, 90);
      form.ResultsWindow1->resize(700, 420);
      if (!open) form.ResultsWindow1->close();
      form.KX1->trigger();
      QVERIFY(!form.ResultsWindow1->isVisible());
    }
    const std::string text = sorvend::test::ReadText(ini);
    QVERIFY2(text.starts_with("[Mine]\nResultsOpen=7\n[Sorvend]\n"), text.c_str());
    QVERIFY2(text.find(open ? "ResultsOpen=1\n" : "ResultsOpen=0\n") != std::string::npos,
             text.c_str());
    TForm1 again(ini);
    QCOMPARE(again.ResultsWindow1->isVisible(), open);
    QCOMPARE(again.ResultsWindow1->pos(), QPoint(120, 90));
    QCOMPARE(again.ResultsWindow1->size(), QSize(700, 420));
  }
};

QTEST_MAIN(ResultsTest)
#include "results_test.moc"
