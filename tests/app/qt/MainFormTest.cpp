// The real window under Qt's offscreen platform.
#include "app/qt/MainForm.h"

#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDesktopServices>
#include <QDialog>
#include <QFileDialog>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMessageBox>
#include <QMimeData>
#include <QProgressBar>
#include <QPushButton>
#include <QSpinBox>
#include <QStatusBar>
#include <QTimer>
#include <QToolBar>
#include <QToolButton>
#include <QUrl>
#include <QtTest>
#include <filesystem>
#include <functional>

#include "../../TestUtil.h"
#include "../PreviewRasters.h"
#include "app/IniFile.h"
#include "app/qt/ElidedText.h"
#include "app/qt/FileLabel.h"
#include "app/qt/PreviewPanel.h"
#include "formats/image/EcwMap.h"

using namespace mirava;
using mirava::test::TempDir;

namespace {

constexpr int kJobTimeout = 60000;

// Copies the sample ER Mapper raster (header and data) into `folder`.
std::string CopySample(const std::string& folder, const std::string& base = "luxembourg") {
  std::filesystem::copy_file(test::Sample("luxembourg.ers"), folder + "/" + base + ".ers");
  std::filesystem::copy_file(test::Sample("luxembourg"), folder + "/" + base);
  return folder + "/" + base + ".ers";
}

// A byte raster large enough that a job lasts a while (its cells are all 0).
std::string MakeLargeRaster(const std::string& folder, uint32_t side = 4000) {
  test::WriteSparseRaster(folder + "/large.ers", side);
  return folder + "/large.ers";
}

// Runs `action` on the next modal window (a dialog or message box) as soon
// as it is up.
class TModalHandler : public QObject {
 public:
  explicit TModalHandler(std::function<void(QWidget*)> action) : Action(std::move(action)) {
    connect(&Timer, &QTimer::timeout, this, [this] {
      if (QWidget* modal = QApplication::activeModalWidget()) {
        Timer.stop();
        Action(modal);
        Handled = true;
        // A failed check must not leave the test waiting on the dialog.
        if (auto* dialog = qobject_cast<QDialog*>(modal); dialog && dialog->isVisible())
          dialog->reject();
      }
    });
    Timer.start(20);
  }
  bool Handled = false;

 private:
  std::function<void(QWidget*)> Action;
  QTimer Timer;
};

// Chooses `name` in the dialog's current folder as a user would.
void TypeFileName(QFileDialog* dialog, const QString& name) {
  dialog->selectFile(name);
  auto* edit = dialog->findChild<QLineEdit*>("fileNameEdit");
  QVERIFY(edit);
  if (edit->text() != name) edit->setText(name);
  QCOMPARE(QFileInfo(dialog->selectedFiles().value(0)).fileName(), name);
}

class TUrlCatcher : public QObject {
  Q_OBJECT
 public slots:
  void Open(const QUrl& url) { Urls << url; }

 public:
  QList<QUrl> Urls;
};

}  // namespace

class TMainFormTest : public QObject {
  Q_OBJECT

 private:
  std::unique_ptr<TForm1> Form;
  std::unique_ptr<TempDir> Dir;
  bool BlockCopy = false;

  TForm1& Open(std::vector<std::string> parameters, bool show = true) {
    Form = std::make_unique<TForm1>(TForm1::TOptions{std::move(parameters), *Dir / "mirava.ini",
                                                     *Dir / "mirava.html", BlockCopy});
    if (show) {
      Form->show();
      [[maybe_unused]] const bool exposed = QTest::qWaitForWindowExposed(Form.get());
    }
    return *Form;
  }
  template <class T>
  T* Find(const char* name) {
    T* child = Form->findChild<T*>(name);
    if (!child) qFatal("no %s", name);
    return child;
  }
  QString Status() { return Find<QStatusBar>("StatusBar1")->currentMessage(); }
  QAction* Action(const char* name) { return Find<QAction>(name); }
  void Click(const char* button) { QTest::mouseClick(Find<QToolButton>(button), Qt::LeftButton); }
  bool JobEnded() {
    return !Form->JobRunning() && Find<QToolButton>("StartBtn")->text() == "Start";
  }
  TPreviewPanel& Preview() { return *Find<TPreviewPanel>("Panel3"); }
  QString Facts() { return Find<TElidedLabel>("Label7")->FullText(); }
  // Drops `files` onto the window as a file manager does, proposing a move
  // (Shift) among `actions`; whether the window took them, as a copy.
  bool Drop(const std::vector<std::string>& files,
            Qt::DropActions actions = Qt::CopyAction | Qt::MoveAction) {
    QMimeData data;
    QList<QUrl> urls;
    for (const std::string& file : files) urls << QUrl::fromLocalFile(QString::fromStdString(file));
    data.setUrls(urls);
    QDragEnterEvent enter(QPoint(10, 10), actions, &data, Qt::LeftButton, Qt::ShiftModifier);
    QApplication::sendEvent(Form.get(), &enter);
    if (!enter.isAccepted()) return false;
    QDropEvent drop(QPointF(10, 10), actions, &data, Qt::LeftButton, Qt::ShiftModifier);
    QApplication::sendEvent(Form.get(), &drop);
    return drop.isAccepted() && enter.dropAction() == Qt::CopyAction &&
           drop.dropAction() == Qt::CopyAction;
  }
  // Whether every line of `label` is shown within its width, and whole.
  static bool Fits(const QLabel* label) {
    for (const QString& line : label->text().split('\n'))
      if (label->fontMetrics().horizontalAdvance(line) > label->contentsRect().width()) return false;
    return true;
  }

 private slots:
  // Jobs take the cell-by-cell path here: slow enough on the large raster
  // for a test to see them running and stop them midway.
  void init() {
    Dir = std::make_unique<TempDir>();
    BlockCopy = false;
  }
  void cleanup() {
    Form.reset();
    Dir.reset();
  }

  void StartRunsJobToSuccessfulFinish() {
    const std::string in = CopySample(Dir->str());
    const std::string out = *Dir / "rotated.ers";
    TForm1& form = Open({in, out, "/3"});
    QVERIFY(Find<QToolButton>("ToolButton14")->isChecked());
    QCOMPARE(Find<TFileLabel>("Label1")->FileName(), QString::fromStdString(in));
    QVERIFY(QTest::qWaitForWindowActive(&form));
    QTest::keyClick(&form, Qt::Key_Return, Qt::ControlModifier);
    QTRY_VERIFY_WITH_TIMEOUT(JobEnded(), kJobTimeout);
    QVERIFY(Status().startsWith("Successful Finish"));
    // The title's percent was the job's; the result goes once the next job
    // differs.
    QCOMPARE(form.windowTitle(), QString("Mirava ver 2.0"));
    QCOMPARE(Find<QProgressBar>("Gauge1")->value(), 0);
    QVERIFY(Find<QWidget>("Panel2")->isHidden());

    // The window ran the very job the command runs.
    const std::string reference = *Dir / "reference.ers";
    QCOMPARE(test::RunCli({in, reference, "/3"}).ExitCode, 0);
    QCOMPARE(test::ReadBytes(*Dir / "rotated"), test::ReadBytes(*Dir / "reference"));
    QVERIFY(test::ReadText(out).find("NrOfLines = 95") != std::string::npos);
    QCOMPARE(test::ReadText(*Dir / "rotated.gcp"), test::ReadText(*Dir / "reference.gcp"));
    Click("ToolButton2");
    QCOMPARE(Status(), QString());
  }

  // The status bar says which way a JPEG went, beside the result: placed
  // without loss (kind 0 keeps every block where it is), or decoded and
  // encoded again where partial blocks at the right edge would move.
  void JpegPathInStatusBar() {
    BlockCopy = true;
    const std::string in = test::Sample("logo.jpg");  // 101 x 77 pixels
    Open({in, *Dir / "placed.jpg", "/0"});
    Click("StartBtn");
    QTRY_VERIFY_WITH_TIMEOUT(JobEnded(), kJobTimeout);
    QCOMPARE(Status(), QString("Successful Finish; ") + kPlacedWithoutLossNote);
    Open({in, *Dir / "decoded.jpg", "/1"});
    Click("StartBtn");
    QTRY_VERIFY_WITH_TIMEOUT(JobEnded(), kJobTimeout);
    QVERIFY2(Status().startsWith(QString("Successful Finish; ") + kPixelPathNote +
                                 "Partial blocks in the way: 101 x 77 pixels"),
             qPrintable(Status()));
  }

  // Every note of a job stays beside the result: a later one does not hide
  // that the ECW output is a layout of our own.
  void EveryNoteInStatusBar() {
    Open({test::Sample("logo.tif"), *Dir / "notes.ecw", "/0"});
    Click("StartBtn");
    QTRY_VERIFY_WITH_TIMEOUT(JobEnded(), kJobTimeout);
    QVERIFY2(Status().startsWith(QString("Successful Finish; ") + kOwnEcwLayoutNote),
             qPrintable(Status()));
    QVERIFY2(Status().contains("; coordinate system not written"), qPrintable(Status()));
  }

  // The JPEG quality dialog sets the encoding the next job uses, and the
  // settings file keeps it.
  void JpegQualityDialogSetsTheEncoding() {
    TForm1& form = Open({});
    QCOMPARE(form.Settings().Encoding.JpegQuality, 100);
    TModalHandler handler([](QWidget* modal) {
      auto* dialog = qobject_cast<QDialog*>(modal);
      QVERIFY(dialog && dialog->objectName() == "JpegQualityDialog");
      dialog->findChild<QSpinBox*>("JpegQualityBox")->setValue(70);
      dialog->findChild<QComboBox*>("JpegSamplingBox")->setCurrentIndex(2);
      dialog->accept();
    });
    Action("JpegQuality1")->trigger();
    QVERIFY(handler.Handled);
    QCOMPARE(form.Settings().Encoding.JpegQuality, 70);
    QVERIFY(form.Settings().Encoding.JpegSampling == TChromaSampling::Quarter);
    const TIniFile ini(*Dir / "mirava.ini");
    QCOMPARE(ini.ReadString("Jpeg", "Quality", ""), std::string("70"));
    QCOMPARE(ini.ReadString("Jpeg", "Subsampling", ""), std::string("420"));
    TForm1& again = Open({});
    QCOMPARE(again.Settings().Encoding.JpegQuality, 70);
  }

  // A rotated input into a format without rotation terms is refused until
  // Process > Write north-up is checked, as with --drop-rotation.
  void NorthUpIsTheUsersChoice() {
    const std::string in = *Dir / "rotated.bmp";
    std::vector<uint8_t> bmp = {'B', 'M', 70, 0, 0, 0, 0, 0, 0, 0, 54, 0, 0, 0,  40,
                                0,   0,   0,  2, 0, 0, 0, 2, 0, 0, 0,  1, 0, 24, 0};
    bmp.resize(54, 0);  // no compression, sizes left to the reader
    bmp.resize(70, 7);
    test::WriteBytes(in, bmp);
    test::WriteText(*Dir / "rotated.bmpw", "2\n0.5\n0.25\n-2\n1000\n2000\n");
    Open({in, *Dir / "out.ers", "/0"});
    QVERIFY(!Action("DropRotation1")->isChecked());
    Click("StartBtn");
    QTRY_VERIFY_WITH_TIMEOUT(JobEnded(), kJobTimeout);
    QVERIFY2(Status().contains("cannot hold the rotation"), qPrintable(Status()));
    Action("DropRotation1")->trigger();
    QCOMPARE(Status(), QString());
    Click("StartBtn");
    QTRY_VERIFY_WITH_TIMEOUT(JobEnded(), kJobTimeout);
    QVERIFY(Status().startsWith("Successful Finish"));
    QVERIFY(test::Exists(*Dir / "out.ers"));
  }

  void ControlsWhileRunningAndStop() {
    const std::string in = MakeLargeRaster(Dir->str());
    TForm1& form = Open({in, *Dir / "out.ers", "/5"});
    const int normal = form.height();
    QCOMPARE(normal, form.NormalHeightValue());
    Click("StartBtn");
    QVERIFY(form.JobRunning());
    auto* start = Find<QToolButton>("StartBtn");
    QCOMPARE(start->text(), QString("Stop"));
    QCOMPARE(start->toolTip(), QString("Stop the job (Esc)"));
    for (const char* name : {"InputBtn", "OutputBtn", "ToolButton2", "ToolButton8", "ToolButton10",
                             "ToolButton12", "ToolButton14", "ToolButton16"})
      QVERIFY2(!Find<QToolButton>(name)->isEnabled(), name);
    QVERIFY(!Find<QLabel>("Label1")->isEnabled());
    QVERIFY(!Find<QLabel>("Label2")->isEnabled());
    QVERIFY(!Find<QMenu>("File1")->menuAction()->isEnabled());
    QVERIFY(!Find<QMenu>("Process1")->menuAction()->isEnabled());
    QVERIFY(start->isEnabled());
    QVERIFY(Find<QMenu>("View1")->menuAction()->isEnabled());
    QVERIFY(Find<QMenu>("Help1")->menuAction()->isEnabled());
    QVERIFY(Find<QWidget>("Panel2")->isVisible());
    QCOMPARE(form.height(), form.JobHeightValue());
    QVERIFY(form.JobHeightValue() > normal);

    // The progress hand-off reaches the window while the worker waits.
    QTRY_VERIFY_WITH_TIMEOUT(Find<QProgressBar>("Gauge1")->value() > 0 || JobEnded(), kJobTimeout);
    QVERIFY(form.windowTitle().endsWith(" %"));
    QVERIFY(QTest::qWaitForWindowActive(&form));
    QTest::keyClick(&form, Qt::Key_Escape);
    QTRY_VERIFY_WITH_TIMEOUT(JobEnded(), kJobTimeout);
    QCOMPARE(Status(), QString("User Abort"));
    for (const char* name : {"InputBtn", "OutputBtn", "ToolButton8", "ToolButton16"})
      QVERIFY2(Find<QToolButton>(name)->isEnabled(), name);
    QVERIFY(Find<QLabel>("Label1")->isEnabled());
    QVERIFY(Find<QMenu>("File1")->menuAction()->isEnabled());
    QVERIFY(Find<QWidget>("Panel2")->isHidden());
    QCOMPARE(form.height(), normal);
    QCOMPARE(form.windowTitle(), QString("Mirava ver 2.0"));
    // The aborted output was still closed properly: its header is written.
    QVERIFY(test::ReadText(*Dir / "out.ers").find("NrOfLines = 4000") != std::string::npos);
  }

  void ExitWhileBusyOnlyRequestsTheAbort() {
    TForm1& form = Open({MakeLargeRaster(Dir->str()), *Dir / "out.ers"});
    Click("StartBtn");
    Action("Exit1")->trigger();
    QTRY_VERIFY_WITH_TIMEOUT(JobEnded(), kJobTimeout);
    QCOMPARE(Status(), QString("User Abort"));
    QTest::qWait(50);
    QVERIFY(form.isVisible());
    Action("Exit1")->trigger();
    QVERIFY(!form.isVisible());
  }

  void ClosingWhileBusyClosesAfterJobDone() {
    TForm1& form = Open({MakeLargeRaster(Dir->str()), *Dir / "out.ers"});
    Click("StartBtn");
    QVERIFY(!form.close());
    QVERIFY(form.isVisible());
    QTRY_VERIFY_WITH_TIMEOUT(!form.isVisible(), kJobTimeout);
    QCOMPARE(Status(), QString("User Abort"));
    QVERIFY(!form.JobRunning());
    QVERIFY(test::ReadText(*Dir / "out.ers").find("NrOfLines") != std::string::npos);
  }

  void DestroyedWhileBusyWaitsForTheWorker() {
    Open({MakeLargeRaster(Dir->str()), *Dir / "out.ers"});
    Click("StartBtn");
    Form.reset();
    QVERIFY(test::ReadText(*Dir / "out.ers").find("NrOfLines") != std::string::npos);
  }

  // As narrow as its toolbars, the window shortens its texts with their
  // whole in a tooltip; widened, the preview grows and they show whole.
  void WidensAndCutsNoText() {
    test::WriteCornerRaster(*Dir / "corners.ers");
    const std::string out = *Dir / "a folder that is not there, with a long name/out.tif";
    TForm1& form = Open({*Dir / "corners.ers", out, "/3"});
    QTRY_VERIFY_WITH_TIMEOUT(Preview().Ready(), kJobTimeout);
    Click("StartBtn");
    QTRY_VERIFY_WITH_TIMEOUT(JobEnded(), kJobTimeout);
    QVERIFY2(Status().contains("a folder that is not there"), qPrintable(Status()));
    auto* status = Find<TStatusBar>("StatusBar1");
    auto* facts = Find<TElidedLabel>("Label7");
    QCOMPARE(form.width(), form.MinimumWidthValue());
    QVERIFY(status->ShownMessage().endsWith(QChar(0x2026)));
    QCOMPARE(status->toolTip(), Status());
    QVERIFY(facts->text() != Facts());
    QVERIFY(Fits(facts));
    QCOMPARE(facts->toolTip(), Facts());
    auto* view = Find<TThumbnailView>("Image1");
    const QRect narrow = view->ImageRect();

    form.resize(1600, form.height() + 400);
    QTRY_COMPARE(form.width(), 1600);
    QCOMPARE(status->ShownMessage(), Status());
    QCOMPARE(facts->text(), Facts());
    QVERIFY(view->ImageRect().width() > narrow.width() * 2);
    form.resize(100, form.height());
    QTRY_COMPARE(form.width(), form.MinimumWidthValue());
  }

  void NamesSavedAndReloaded() {
    // Names are bytes: a UTF-8 folder and a Latin-1 file name.
    const std::string folder = *Dir / "Karten \xc3\xbc \xd0\xba\xd0\xb0\xd1\x80\xd1\x82\xd0\xb0";
    std::filesystem::create_directory(folder);
    const std::string in = CopySample(folder, "lux-\xe9t\xe9");
    const std::string out = folder + "/sortie-\xe9.ers";
    Open({in, out, "/1"});
    Click("StartBtn");
    QTRY_VERIFY_WITH_TIMEOUT(JobEnded(), kJobTimeout);
    QVERIFY(Status().startsWith("Successful Finish"));
    QVERIFY(test::Exists(out));
    QVERIFY(test::Exists(folder + "/sortie-\xe9"));
    const TIniFile ini(*Dir / "mirava.ini");
    QCOMPARE(ini.ReadString("Names", "InName", ""), in);
    QCOMPARE(ini.ReadString("Names", "OutName", ""), out);

    TForm1& next = Open({});
    QCOMPARE(next.Settings().InputFileName, in);
    QCOMPARE(next.Settings().OutputFileName, out);
    QCOMPARE(Find<TFileLabel>("Label1")->FileName(),
             QFile::decodeName(QByteArray::fromStdString(in)));
    QVERIFY(Find<TFileLabel>("Label1")->FileName().contains(QString::fromUtf8("Karten \xc3\xbc")));
    // Without a kind on the command line the first placement is checked.
    QVERIFY(Find<QToolButton>("ToolButton2")->isChecked());
  }

  void CommandLineChoosesTheButton() {
    Open({"a.ers", "b.ers", "/5"}, false);
    QVERIFY(Find<QToolButton>("ToolButton12")->isChecked());
    Open({"a.ers", "b.ers", "/9"}, false);
    QVERIFY(Find<QToolButton>("ToolButton2")->isChecked());
    // /F leaves the kind as it is.
    Open({"a.ers", "b.ers", "/2", "/F"}, false);
    QVERIFY(Find<QToolButton>("ToolButton16")->isChecked());
  }

  void OneNameWithFStartsNoJob() {
    TForm1& form = Open({CopySample(Dir->str()), "/F"});
    QTest::qWait(100);
    QVERIFY(!form.JobRunning());
    QVERIFY(form.isVisible());
    QCOMPARE(Find<QToolButton>("StartBtn")->text(), QString("Start"));
  }

  void UnattendedJobClosesTheWindow() {
    const std::string in = CopySample(Dir->str());
    TForm1& form = Open({in, *Dir / "out.ers", "/F", "/4"});
    QTRY_VERIFY_WITH_TIMEOUT(!form.isVisible(), kJobTimeout);
    QVERIFY(Status().startsWith("Successful Finish"));
    QCOMPARE(form.ExitStatus(), 0);

    TForm1& failing = Open({*Dir / "missing.ers", *Dir / "out2.ers", "/F"});
    QTRY_VERIFY_WITH_TIMEOUT(!failing.isVisible(), kJobTimeout);
    QVERIFY(Status().startsWith("No file: "));
    QCOMPARE(failing.ExitStatus(), 1);

    TForm1& closed = Open({MakeLargeRaster(Dir->str()), *Dir / "out3.ers", "/F"});
    QTRY_VERIFY_WITH_TIMEOUT(closed.JobRunning(), kJobTimeout);
    QVERIFY(!closed.close());
    QTRY_VERIFY_WITH_TIMEOUT(!closed.isVisible(), kJobTimeout);
    QCOMPARE(Status(), QString("User Abort"));
    QCOMPARE(closed.ExitStatus(), 130);
  }

  // Process > TIFF output options sets the creation options of TIFF
  // outputs, keeps them in the settings file and gives them to the job;
  // another output's job runs without them.
  void TiffOutputOptionsReachTheJob() {
    const std::string in = CopySample(Dir->str());
    const std::string out = *Dir / "packed.tif";
    Open({in, out});
    {
      TModalHandler handler([](QWidget* modal) {
        QCOMPARE(modal->objectName(), QString("TiffOptionsDialog"));
        auto* compression = modal->findChild<QComboBox*>("Compression");
        auto* predictor = modal->findChild<QComboBox*>("Predictor");
        QVERIFY(compression && predictor);
        QVERIFY(!predictor->isEnabled());
        compression->setCurrentIndex(compression->findText("Deflate"));
        QVERIFY(predictor->isEnabled());
        modal->findChild<QCheckBox*>("Tiled")->setChecked(true);
        modal->findChild<QSpinBox*>("BlockSize")->setValue(64);
        static_cast<QDialog*>(modal)->accept();
      });
      Action("TiffOptions1")->trigger();
      QVERIFY(handler.Handled);
    }
    const std::vector<std::string> options = {"COMPRESS=DEFLATE", "TILED=YES", "BLOCKXSIZE=64",
                                              "BLOCKYSIZE=64"};
    QVERIFY(Form->Settings().CreationOptions == options);
    QCOMPARE(TIniFile(*Dir / "mirava.ini").ReadString("TIFF", "CreationOptions", ""),
             std::string("COMPRESS=DEFLATE TILED=YES BLOCKXSIZE=64 BLOCKYSIZE=64"));
    Click("StartBtn");
    QTRY_VERIFY_WITH_TIMEOUT(JobEnded(), kJobTimeout);
    QVERIFY(Status().startsWith("Successful Finish"));
    const std::string info = test::Run("gdalinfo " + test::Quote(out)).Output;
    QVERIFY2(info.find("COMPRESSION=DEFLATE") != std::string::npos, info.c_str());
    QVERIFY2(info.find("Block=64x64") != std::string::npos, info.c_str());

    TForm1& next = Open({in, *Dir / "plain.ers"});
    QVERIFY(next.Settings().CreationOptions == options);
    Click("StartBtn");
    QTRY_VERIFY_WITH_TIMEOUT(JobEnded(), kJobTimeout);
    QVERIFY(Status().startsWith("Successful Finish"));

    // The COG box makes the tiles BLOCKSIZE and the file a COG with overviews.
    Open({in, out});
    {
      TModalHandler handler([](QWidget* modal) {
        modal->findChild<QCheckBox*>("Cog")->setChecked(true);
        QVERIFY(!modal->findChild<QCheckBox*>("Tiled")->isEnabled());
        static_cast<QDialog*>(modal)->accept();
      });
      Action("TiffOptions1")->trigger();
      QVERIFY(handler.Handled);
    }
    const std::vector<std::string> cog = {"COMPRESS=DEFLATE", "COG=YES", "BLOCKSIZE=64"};
    QVERIFY(Form->Settings().CreationOptions == cog);
    Click("StartBtn");
    QTRY_VERIFY_WITH_TIMEOUT(JobEnded(), kJobTimeout);
    QVERIFY(Status().startsWith("Successful Finish"));
    const std::string cogInfo = test::Run("gdalinfo " + test::Quote(out)).Output;
    QVERIFY2(cogInfo.find("Overviews:") != std::string::npos, cogInfo.c_str());

    // A level; the compression, COG box and tile size stay as they were.
    Open({in, out});
    {
      TModalHandler handler([](QWidget* modal) {
        modal->findChild<QSpinBox*>("Level")->setValue(9);
        static_cast<QDialog*>(modal)->accept();
      });
      Action("TiffOptions1")->trigger();
      QVERIFY(handler.Handled);
    }
    const std::vector<std::string> level = {"COMPRESS=DEFLATE", "ZLEVEL=9", "COG=YES",
                                            "BLOCKSIZE=64"};
    QVERIFY(Form->Settings().CreationOptions == level);
    Click("StartBtn");
    QTRY_VERIFY_WITH_TIMEOUT(JobEnded(), kJobTimeout);
    QVERIFY(Status().startsWith("Successful Finish"));
  }

  void SaveDialogGivesTheOutputName() {
    std::filesystem::create_directory(*Dir / "in");
    const std::string in = CopySample(*Dir / "in");
    Open({in, *Dir / "old.ers"});
    const QString folder = QString::fromStdString(Dir->str());
    QString proposed;
    auto typeName = [&](const QString& name, int entry) {
      return [&, name, entry](QWidget* modal) {
        auto* dialog = qobject_cast<QFileDialog*>(modal);
        QVERIFY(dialog);
        QCOMPARE(dialog->objectName(), QString("SaveDialog1"));
        QCOMPARE(dialog->windowTitle(), QString("Output file"));
        proposed = QFileInfo(dialog->selectedFiles().value(0)).fileName();
        dialog->selectNameFilter(dialog->nameFilters().at(entry - 1));
        dialog->setDirectory(folder);
        TypeFileName(dialog, name);
        static_cast<QDialog*>(dialog)->accept();
      };
    };
    {
      TModalHandler handler(typeName("map", 4));
      Click("OutputBtn");
      QVERIFY(handler.Handled);
    }
    QCOMPARE(proposed, QString("luxembourg"));
    QCOMPARE(Form->Settings().OutputFileName, *Dir / "map.ers");
    QCOMPARE(Find<TFileLabel>("Label2")->FileName(), QString::fromStdString(*Dir / "map.ers"));
    {
      TModalHandler handler(typeName("map.ecw", 2));
      Form->activateWindow();
      QVERIFY(QTest::qWaitForWindowActive(Form.get()));
      QTest::keyClick(Form.get(), Qt::Key_S, Qt::ControlModifier);
      QVERIFY(handler.Handled);
    }
    QCOMPARE(Form->Settings().OutputFileName, *Dir / "map.ecw");
    {
      TModalHandler handler([](QWidget* modal) { static_cast<QDialog*>(modal)->reject(); });
      QTest::mouseClick(Find<TFileLabel>("Label2"), Qt::LeftButton);
      QVERIFY(handler.Handled);
    }
    QCOMPARE(Form->Settings().OutputFileName, *Dir / "map.ecw");
  }

  void OpenDialogGivesTheInputName() {
    const std::string in = CopySample(Dir->str());
    CopySample(Dir->str(), "other");
    Open({in, *Dir / "out.ers"});
    QString start, filter;
    TModalHandler handler([&](QWidget* modal) {
      auto* dialog = qobject_cast<QFileDialog*>(modal);
      QVERIFY(dialog);
      QCOMPARE(dialog->windowTitle(), QString("Input file"));
      start = dialog->directory().absolutePath();
      filter = dialog->selectedNameFilter();
      TypeFileName(dialog, "other.ers");
      static_cast<QDialog*>(dialog)->accept();
    });
    QVERIFY(QTest::qWaitForWindowActive(Form.get()));
    QTest::keyClick(Form.get(), Qt::Key_O, Qt::ControlModifier);
    QVERIFY(handler.Handled);
    QCOMPARE(start, QString::fromStdString(Dir->str()));
    // The first filter shows every raster read, whatever its extension.
    for (const char* pattern : {"*.ers", "*.tiff", "*.jpeg", "*.hgt", "*.001", "*.veg"})
      QVERIFY2(filter.contains(pattern), qPrintable(filter));
    QCOMPARE(Form->Settings().InputFileName, *Dir / "other.ers");
  }

  // A control point file that cannot be written is found before the job
  // copies anything: the status bar says why, and nothing waits for a click.
  void RefusedControlPointFileIsShownInTheStatusBar() {
    const std::string in = CopySample(Dir->str());
    std::filesystem::create_directory(*Dir / "out.gcp");
    Open({in, *Dir / "out.ers"});
    Click("StartBtn");
    QTRY_VERIFY_WITH_TIMEOUT(JobEnded(), kJobTimeout);
    QCOMPARE(Status(), QString::fromStdString("Output " + *Dir / "out.gcp" + " is a folder"));
    QCOMPARE(Find<QStatusBar>("StatusBar1")->toolTip(), Status());
    QVERIFY(!test::Exists(*Dir / "out"));
    std::filesystem::remove(*Dir / "out.gcp");
  }

  void HelpPage() {
    Open({});
    Action("Content1")->trigger();
    QCOMPARE(Status(), QString("Help file not found"));

    test::WriteText(*Dir / "mirava.html", "<html></html>");
    TUrlCatcher catcher;
    QDesktopServices::setUrlHandler("file", &catcher, "Open");
    Action("Content1")->trigger();
    QDesktopServices::unsetUrlHandler("file");
    QCOMPARE(catcher.Urls.size(), 1);
    QCOMPARE(catcher.Urls[0].toLocalFile(), QString::fromStdString(*Dir / "mirava.html"));

    // The page is installed beside the program.
    QVERIFY(QFileInfo(QFileInfo(MIRAVA_WINDOW).dir(), "mirava.html").isFile());
  }

  void AboutBox() {
    Open({});
    QString title, product;
    TModalHandler handler([&](QWidget* modal) {
      title = modal->windowTitle();
      product = modal->findChild<QLabel*>("ProductName")->text();
      auto* close = modal->findChild<QPushButton*>("OKButton");
      QCOMPARE(close->text(), QString("Close"));
      QVERIFY(close->isDefault());
      QTest::mouseClick(close, Qt::LeftButton);
    });
    Action("About1")->trigger();
    QVERIFY(handler.Handled);
    QVERIFY(title.startsWith("Built "));
    QVERIFY(title.size() > 6);
    QCOMPARE(product, QString("Mirava / Rotate Utility ver 2.00"));
  }

  // The thumbnail read once, turned by each placement button, with its
  // corners' colours and the control point's marker where the job puts them.
  void PreviewFollowsThePlacementButtons() {
    test::WriteCornerRaster(*Dir / "corners.ers");
    Open({*Dir / "corners.ers", *Dir / "out.tif"});
    QVERIFY(Find<QAction>("Preview1")->isChecked());
    QVERIFY(Preview().isVisible());
    QTRY_VERIFY_WITH_TIMEOUT(Preview().Ready(), kJobTimeout);
    QVERIFY2(Facts().startsWith(QString::fromUtf8("ER Mapper, 40 \xc3\x97 30 \xc3\x97 3 bands")),
             qPrintable(Facts()));
    QVERIFY(Facts().contains("1 control point"));
    const uint64_t reads = Preview().Reads();
    auto* view = Find<TThumbnailView>("Image1");
    for (int i = 0; i < kRotateButtonCount; ++i) {
      const int32_t kind = kRotateButtons[i].Kind;
      Click(kRotateButtons[i].Name);
      const QImage& image = Preview().PlacedImage();
      const auto expected = test::PlacedCorners(kind);
      const QPoint corners[] = {{0, 0},
                                {image.width() - 1, 0},
                                {0, image.height() - 1},
                                {image.width() - 1, image.height() - 1}};
      for (int k = 0; k < 4; ++k) QCOMPARE(image.pixel(corners[k]), expected[k]);
      QCOMPARE(Preview().Markers().size(), size_t{1});
      QCOMPARE(Preview().Markers()[0].X, test::PlacedPoint(kind)[0]);
      QCOMPARE(Preview().Markers()[0].Y, test::PlacedPoint(kind)[1]);
      // What is painted: the far corners (the inset covers the first).
      const QImage shown = view->grab().toImage();
      const QRect area = view->ImageRect();
      QCOMPARE(shown.pixel(area.topRight() + QPoint(-2, 2)), expected[1]);
      QCOMPARE(shown.pixel(area.bottomRight() + QPoint(-2, -2)), expected[3]);
      QCOMPARE(shown.pixel(area.bottomLeft() + QPoint(2, -2)), expected[2]);
    }
    QCOMPARE(Preview().Reads(), reads);
    const QString output = QString::fromUtf8("Output 30 \xc3\x97 40 \xc3\x97 3 bands, TIFF; ");
    QVERIFY2(Facts().endsWith(output + "the input's frame (corner and cell sizes) kept"),
             qPrintable(Facts()));
    // The georeference mode: said under the preview, kept in the settings.
    Action("KeepGround1")->trigger();
    QVERIFY2(Facts().endsWith(output + "cells kept over their ground"), qPrintable(Facts()));
    QCOMPARE(TIniFile(*Dir / "mirava.ini").ReadString("Georeference", "KeepGround", ""),
             std::string("1"));
    Open({});
    QVERIFY(Action("KeepGround1")->isChecked());
  }

  void PreviewOfHeightsWithVoids() {
    test::WriteHeightRaster(*Dir / "heights.ers");
    Open({*Dir / "heights.ers", ""});
    QTRY_VERIFY_WITH_TIMEOUT(Preview().Ready(), kJobTimeout);
    const QImage& image = Preview().PlacedImage();
    QCOMPARE(qAlpha(image.pixel(0, 0)), 0);
    QCOMPARE(image.pixel(1, 20), 0xff000000u);
    QCOMPARE(image.pixel(98, 20), 0xffffffffu);
    QVERIFY(qAbs(qGray(image.pixel(50, 20)) - 128) <= 6);
    // Voids show the neutral colour; turned away from the inset's corner.
    Click("ToolButton12");
    auto* view = Find<TThumbnailView>("Image1");
    const QRect area = view->ImageRect();
    const QImage shown = view->grab().toImage();
    QCOMPARE(shown.pixel(area.right() - area.width() * 5 / 100, area.bottom() - area.height() / 10),
             qRgb(190, 190, 190));
  }

  void SecondInputWhileTheFirstIsRead() {
    test::WriteSparseRaster(*Dir / "large.ers", 32768);
    test::WriteCornerRaster(*Dir / "corners.ers");
    Open({*Dir / "large.ers", *Dir / "out.ers"});
    QVERIFY(Drop({*Dir / "corners.ers"}));
    QCOMPARE(Preview().Reads(), uint64_t{2});
    QTRY_VERIFY_WITH_TIMEOUT(Preview().Ready(), kJobTimeout);
    QCOMPARE(Preview().Thumbnail().Facts.Columns, 40);
    // Whatever the first read still delivers is not shown.
    QTest::qWait(300);
    QCOMPARE(Preview().Thumbnail().Facts.Columns, 40);
    QCOMPARE(Preview().PlacedImage().width(), 40);
  }

  void MissingInputIsSaidInThePreview() {
    Open({*Dir / "none.ers", *Dir / "out.ers"});
    QTRY_VERIFY_WITH_TIMEOUT(Preview().Ready(), kJobTimeout);
    QVERIFY2(Facts().startsWith("No file: "), qPrintable(Facts()));
    QVERIFY(Preview().PlacedImage().isNull());
  }

  // The window says before Start what the job would end with.
  void RefusalBeforeStart() {
    test::TestRaster six;
    six.Bands = 6;
    test::WriteErs(*Dir / "six.ers", six);
    Open({*Dir / "six.ers", *Dir / "out.bmp"});
    QTRY_VERIFY_WITH_TIMEOUT(Preview().Ready(), kJobTimeout);
    const QString refusal = Find<TElidedLabel>("Label8")->FullText();
    QCOMPARE(refusal, QString("BMP files do not support more than 3 bands"));
    Click("StartBtn");
    QTRY_VERIFY_WITH_TIMEOUT(JobEnded(), kJobTimeout);
    QCOMPARE(Status(), refusal);
    QVERIFY(!test::Exists(*Dir / "out.bmp"));

    // An output that can hold it: nothing said, and the last job's refusal
    // is gone.
    QVERIFY(Drop({*Dir / "six.ers", *Dir / "out.ers"}));
    QCOMPARE(Find<TElidedLabel>("Label8")->FullText(), QString());
    QCOMPARE(Status(), QString());
  }

  void DroppedFiles() {
    test::WriteCornerRaster(*Dir / "corners.ers");
    Open({});
    QVERIFY(!Drop({"a", "b", "c"}));
    // A source that can only move its files keeps them.
    QVERIFY(!Drop({*Dir / "corners.ers"}, Qt::MoveAction));
    QVERIFY(Drop({*Dir / "corners.ers"}));
    QCOMPARE(Form->Settings().InputFileName, *Dir / "corners.ers");
    QCOMPARE(Form->Settings().OutputFileName, *Dir / "corners.osd");
    QCOMPARE(Find<TFileLabel>("Label2")->FileName(), QString::fromStdString(*Dir / "corners.osd"));
    QVERIFY(Drop({*Dir / "a.ers", *Dir / "b.tif"}));
    QCOMPARE(Form->Settings().InputFileName, *Dir / "a.ers");
    QCOMPARE(Form->Settings().OutputFileName, *Dir / "b.tif");
    // A named output stays.
    QVERIFY(Drop({*Dir / "corners.ers"}));
    QCOMPARE(Form->Settings().OutputFileName, *Dir / "b.tif");
    // An output proposed later takes the extension of the last one.
    Form.reset();
    Open({*Dir / "x.bmp", ""});
    QVERIFY(Drop({*Dir / "corners.ers"}));
    QCOMPARE(Form->Settings().OutputFileName, *Dir / "corners.osd");
  }

  void PreviewShownAndHidden() {
    TForm1& form = Open({});
    const int normal = form.NormalHeightValue();
    Action("Preview1")->trigger();
    QVERIFY(Preview().isHidden());
    QVERIFY(form.NormalHeightValue() < normal);
    QTRY_COMPARE(form.height(), form.NormalHeightValue());
    QCOMPARE(form.width(), form.MinimumWidthValue());
    Action("Preview1")->trigger();
    QVERIFY(Preview().isVisible());
    QCOMPARE(form.NormalHeightValue(), normal);
  }

  void MenusAndToolbars() {
    TForm1& form = Open({});
    QCOMPARE(form.windowTitle(), QString("Mirava ver 2.0"));
    for (const char* name : {"Inputfile1", "Outputfile1", "Exit1", "Start1", "Maintoolbar1",
                             "Rotatetoolbar1", "About1", "Content1"})
      QVERIFY2(form.findChild<QAction*>(name), name);
    QCOMPARE(Find<QToolButton>("InputBtn")->toolTip(), QString("Change input file"));
    QCOMPARE(Find<QToolButton>("StartBtn")->toolTip(), QString("Start flip/rotate"));
    // Each placement says what it is under its image.
    for (const TRotateButton& placement : kRotateButtons) {
      auto* button = Find<QToolButton>(placement.Name);
      QCOMPARE(button->text(), QString(placement.Caption));
      QVERIFY(!button->text().isEmpty());
      QCOMPARE(button->toolButtonStyle(), Qt::ToolButtonTextUnderIcon);
    }
    QCOMPARE(Find<QToolButton>("ToolButton16")->toolTip(), QString("Rotate 90 CCW"));
    // Every image is there (the resources and the SVG reader both work).
    for (const char* name : {"InputBtn", "OutputBtn", "StartBtn", "ToolButton2", "ToolButton8",
                             "ToolButton10", "ToolButton12", "ToolButton14", "ToolButton16"})
      QVERIFY2(!Find<QToolButton>(name)->icon().pixmap(30, 30).isNull(), name);
    for (int i = 0; i < kImageCount; ++i)
      QVERIFY2(!ListImage(i).pixmap(30, 30).isNull(), kImageFiles[i]);

    // Exactly one placement is checked.
    Click("ToolButton14");
    QVERIFY(!Find<QToolButton>("ToolButton2")->isChecked());
    Click("ToolButton14");
    QVERIFY(Find<QToolButton>("ToolButton14")->isChecked());

    auto* rotate = Find<QToolBar>("ToolBar2");
    QVERIFY(Action("Rotatetoolbar1")->isChecked());
    Action("Rotatetoolbar1")->trigger();
    QVERIFY(rotate->isHidden());
    QVERIFY(!Action("Rotatetoolbar1")->isChecked());
    Action("Rotatetoolbar1")->trigger();
    QVERIFY(rotate->isVisible());
    Action("Maintoolbar1")->trigger();
    QVERIFY(Find<QToolBar>("ToolBar1")->isHidden());
  }
};

int RunMainFormTests(int argc, char** argv) {
  TMainFormTest test;
  return QTest::qExec(&test, argc, argv);
}

#include "MainFormTest.moc"
