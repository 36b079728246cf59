#include "app/qt/MainForm.h"

#include <QApplication>
#include <QButtonGroup>
#include <QCheckBox>
#include <QComboBox>
#include <QDialog>
#include <QDialogButtonBox>
#include <QCloseEvent>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QDesktopServices>
#include <QFile>
#include <QFileDialog>
#include <QFormLayout>
#include <QFrame>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QMimeData>
#include <QMenuBar>
#include <QMessageBox>
#include <QProgressBar>
#include <QSpinBox>
#include <QStatusBar>
#include <QThread>
#include <QToolBar>
#include <QToolButton>
#include <QUrl>
#include <QVBoxLayout>
#include <cstdio>

#include "app/ConsoleHost.h"
#include "app/Settings.h"
#include "app/qt/TiffOptionsDialog.h"
#include "formats/image/jp2/Jp2Map.h"
#include "app/Version.h"
#include "app/qt/About.h"
#include "app/qt/ElidedText.h"
#include "app/qt/FileLabel.h"
#include "app/qt/PreviewPanel.h"
#include "text/FileNames.h"

namespace mirava {

namespace {

constexpr int kImageSize = 30;
constexpr int kRotateButtonSize = 40;
constexpr int kRotateGap = 8;

QStringList NameFilters(const std::vector<TFilterEntry>& entries) {
  QStringList filters;
  for (const TFilterEntry& entry : entries)
    filters << QString("%1 (%2)").arg(QString::fromStdString(entry.Description),
                                      QString::fromStdString(entry.Patterns).replace(';', ' '));
  return filters;
}

QLabel* Heading(const QString& text, QWidget* parent) {
  auto* label = new QLabel(text, parent);
  QFont font = label->font();
  font.setUnderline(true);
  label->setFont(font);
  return label;
}

}  // namespace

QString FromFileName(const std::string& name) {
  return QFile::decodeName(QByteArray::fromStdString(name));
}

std::string ToFileName(const QString& name) { return QFile::encodeName(name).toStdString(); }

QIcon ListImage(int index) { return QIcon(QString(":/images/") + kImageFiles[index]); }

TForm1::TForm1(TOptions options, QWidget* parent)
    : QMainWindow(parent), Options(std::move(options)) {
  CreateComponents();
  FormCreate();
}

TForm1::~TForm1() {
  // The worker may be waiting for a progress hand-off: keep serving them
  // until JobDone has run.
  if (Job) Job->Stop();
  while (Job) QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
}

void TForm1::CreateComponents() {
  setObjectName("Form1");
  setWindowTitle(kProgramCaption);
  setWindowIcon(QIcon(":/images/mirava.svg"));
  SignalWatch = new QTimer(this);
  SignalWatch->setInterval(kSignalPoll);
  connect(SignalWatch, &QTimer::timeout, this, [this] {
    if (Job && StopSignalled) Job->Stop();
  });
  // The toolbars are shown and hidden through the View menu only.
  setContextMenuPolicy(Qt::NoContextMenu);
  setAcceptDrops(true);

  File1 = menuBar()->addMenu("&File");
  File1->setObjectName("File1");
  Inputfile1 = File1->addAction("&Input file", this, &TForm1::InputBtnClick);
  Inputfile1->setObjectName("Inputfile1");
  Inputfile1->setShortcut(Qt::CTRL | Qt::Key_O);
  Outputfile1 = File1->addAction("&Output file", this, &TForm1::OutputBtnClick);
  Outputfile1->setObjectName("Outputfile1");
  Outputfile1->setShortcut(Qt::CTRL | Qt::Key_S);
  File1->addSeparator();
  Exit1 = File1->addAction("E&xit", this, &TForm1::CancelBtnClick);
  Exit1->setObjectName("Exit1");

  Process1 = menuBar()->addMenu("&Process");
  Process1->setObjectName("Process1");
  Start1 = Process1->addAction("&Start", this, &TForm1::StartBtnClick);
  Start1->setObjectName("Start1");
  Start1->setShortcuts({Qt::CTRL | Qt::Key_Return, Qt::CTRL | Qt::Key_Enter});
  // The Process menu is shut during a job: Stop is the window's own.
  Stop1 = new QAction("Stop", this);
  Stop1->setObjectName("Stop1");
  Stop1->setShortcut(Qt::Key_Escape);
  Stop1->setEnabled(false);
  connect(Stop1, &QAction::triggered, this, &TForm1::StartBtnClick);
  addAction(Stop1);
  Process1->addSeparator();
  JpegQuality1 = Process1->addAction("&JPEG quality...", this, &TForm1::JpegQuality1Click);
  JpegQuality1->setObjectName("JpegQuality1");
  TiffOptions1 = Process1->addAction("&TIFF output options...", this, &TForm1::TiffOptions1Click);
  TiffOptions1->setObjectName("TiffOptions1");
  Jp2Options1 =
      Process1->addAction("JPEG &2000 output options...", this, &TForm1::Jp2Options1Click);
  Jp2Options1->setObjectName("Jp2Options1");
  // As --drop-rotation: for this window's jobs only, never kept, since an
  // output without its rotation lies elsewhere.
  DropRotation1 = Process1->addAction("Write &north-up, without rotation terms");
  DropRotation1->setObjectName("DropRotation1");
  DropRotation1->setCheckable(true);
  connect(DropRotation1, &QAction::toggled, this, &TForm1::NextJobChanged);
  // As --keep-ground, and kept with the settings.
  KeepGround1 = Process1->addAction("Keep cells over their &ground");
  KeepGround1->setObjectName("KeepGround1");
  KeepGround1->setCheckable(true);
  connect(KeepGround1, &QAction::toggled, this, &TForm1::KeepGround1Toggled);

  View1 = menuBar()->addMenu("&View");
  View1->setObjectName("View1");
  Maintoolbar1 = View1->addAction("Main toolbar", this, &TForm1::Maintoolbar1Click);
  Maintoolbar1->setObjectName("Maintoolbar1");
  Maintoolbar1->setCheckable(true);
  Rotatetoolbar1 = View1->addAction("Rotate toolbar", this, &TForm1::Rotatetoolbar1Click);
  Rotatetoolbar1->setObjectName("Rotatetoolbar1");
  Rotatetoolbar1->setCheckable(true);
  Preview1 = View1->addAction("Preview", this, &TForm1::Preview1Click);
  Preview1->setObjectName("Preview1");
  Preview1->setCheckable(true);

  Help1 = menuBar()->addMenu("&Help");
  Help1->setObjectName("Help1");
  About1 = Help1->addAction("&About", this, &TForm1::About1Click);
  About1->setObjectName("About1");
  Content1 = Help1->addAction("&Contents", this, &TForm1::Content1Click);
  Content1->setObjectName("Content1");

  ToolBar1 = new QToolBar("Main toolbar", this);
  ToolBar1->setObjectName("ToolBar1");
  ToolBar2 = new QToolBar("Rotate toolbar", this);
  ToolBar2->setObjectName("ToolBar2");
  for (QToolBar* bar : {ToolBar1, ToolBar2}) {
    bar->setMovable(false);
    bar->setFloatable(false);
    bar->setIconSize(QSize(kImageSize, kImageSize));
  }
  addToolBar(Qt::TopToolBarArea, ToolBar1);
  addToolBarBreak(Qt::TopToolBarArea);
  addToolBar(Qt::TopToolBarArea, ToolBar2);

  QToolButton** mainButtons[kMainButtonCount] = {&InputBtn, &OutputBtn, &StartBtn};
  for (int i = 0; i < kMainButtonCount; ++i) {
    auto* button = new QToolButton(ToolBar1);
    button->setObjectName(kMainButtons[i].Name);
    button->setText(kMainButtons[i].Caption);
    button->setToolTip(kMainButtons[i].Hint);
    button->setIcon(ListImage(kMainButtons[i].Image));
    button->setIconSize(QSize(kImageSize, kImageSize));
    button->setToolButtonStyle(Qt::ToolButtonTextUnderIcon);
    button->setAutoRaise(true);
    button->setMinimumSize(55, 50);
    ToolBar1->addWidget(button);
    *mainButtons[i] = button;
  }
  connect(InputBtn, &QToolButton::clicked, this, &TForm1::InputBtnClick);
  connect(OutputBtn, &QToolButton::clicked, this, &TForm1::OutputBtnClick);
  connect(StartBtn, &QToolButton::clicked, this, &TForm1::StartBtnClick);

  RotateGroup = new QButtonGroup(this);
  RotateGroup->setExclusive(true);
  for (int i = 0; i < kRotateButtonCount; ++i) {
    if (i > 0) {
      auto* gap = new QWidget(ToolBar2);
      gap->setFixedWidth(kRotateGap);
      ToolBar2->addWidget(gap);
    }
    auto* button = new QToolButton(ToolBar2);
    button->setObjectName(kRotateButtons[i].Name);
    button->setText(kRotateButtons[i].Caption);
    button->setToolTip(kRotateButtons[i].Hint);
    button->setIcon(ListImage(kRotateButtons[i].Image));
    button->setIconSize(QSize(kImageSize, kImageSize));
    button->setToolButtonStyle(Qt::ToolButtonTextUnderIcon);
    button->setCheckable(true);
    button->setAutoRaise(true);
    button->setMinimumSize(kRotateButtonSize, kRotateButtonSize);
    RotateGroup->addButton(button, i);
    connect(button, &QToolButton::toggled, this, [this, i](bool checked) {
      if (!checked) return;
      Panel3->SetKind(kRotateButtons[i].Kind);
      NextJobChanged();
    });
    ToolBar2->addWidget(button);
    RotateButtons[i] = button;
  }

  auto* central = new QWidget(this);
  auto* layout = new QVBoxLayout(central);
  layout->setContentsMargins(4, 4, 4, 4);
  layout->setSpacing(4);

  Panel1 = new QFrame(central);
  Panel1->setObjectName("Panel1");
  Panel1->setFrameShape(QFrame::StyledPanel);
  Panel1->setFrameShadow(QFrame::Sunken);
  auto* files = new QVBoxLayout(Panel1);
  files->setContentsMargins(8, 6, 8, 6);
  files->setSpacing(2);
  Label1 = new TFileLabel(Panel1);
  Label1->setObjectName("Label1");
  Label2 = new TFileLabel(Panel1);
  Label2->setObjectName("Label2");
  files->addWidget(Heading("Input file", Panel1));
  files->addWidget(Label1);
  files->addSpacing(6);
  files->addWidget(Heading("Output file", Panel1));
  files->addWidget(Label2);
  Label8 = new TElidedLabel(Panel1);
  Label8->setObjectName("Label8");
  Label8->setStyleSheet("color: #b00000");
  // A line is kept for it, so that the window's height does not follow it.
  Label8->setFixedHeight(Label8->fontMetrics().lineSpacing());
  files->addWidget(Label8);
  connect(Label1, &TFileLabel::clicked, this, &TForm1::InputBtnClick);
  connect(Label2, &TFileLabel::clicked, this, &TForm1::OutputBtnClick);

  Panel3 = new TPreviewPanel(central);
  Panel3->setObjectName("Panel3");
  connect(Panel3, &TPreviewPanel::FactsChanged, this, &TForm1::ShowRefusal);

  Panel2 = new QFrame(central);
  Panel2->setObjectName("Panel2");
  Panel2->setFrameShape(QFrame::StyledPanel);
  Panel2->setFrameShadow(QFrame::Sunken);
  auto* progress = new QVBoxLayout(Panel2);
  progress->setContentsMargins(5, 6, 5, 6);
  Gauge1 = new QProgressBar(Panel2);
  Gauge1->setObjectName("Gauge1");
  Gauge1->setRange(0, 100);
  Gauge1->setValue(0);
  Label5 = new QLabel("Elapsed time:", Panel2);
  Label5->setObjectName("Label5");
  Label6 = new QLabel("Remaining time:", Panel2);
  Label6->setObjectName("Label6");
  auto* times = new QHBoxLayout;
  times->addWidget(Label5);
  times->addStretch();
  times->addWidget(Label6);
  progress->addWidget(Gauge1);
  progress->addLayout(times);

  layout->addWidget(Panel1);
  // The preview takes whatever room the window is given.
  layout->addWidget(Panel3, 1);
  layout->addWidget(Panel2);
  layout->addStretch();
  setCentralWidget(central);

  StatusBar1 = new TStatusBar(this);
  StatusBar1->setObjectName("StatusBar1");
  setStatusBar(StatusBar1);

  About = new TAbout(this);
}

void TForm1::FormCreate() {
  QApplication::setWindowIcon(windowIcon());

  int mainWidth = 0;
  for (QToolButton* button : {InputBtn, OutputBtn, StartBtn})
    mainWidth += button->sizeHint().expandedTo(button->minimumSize()).width();
  int rotateWidth = (kRotateButtonCount - 1) * kRotateGap;
  for (QToolButton* button : RotateButtons)
    rotateWidth += button->sizeHint().expandedTo(button->minimumSize()).width();
  MinimumWidth = std::max(MinimumClientWidth(mainWidth, rotateWidth), minimumSizeHint().width());
  setMinimumWidth(MinimumWidth);
  resize(MinimumWidth, height());
  Panel2->hide();

  RotateButtons[0]->setChecked(true);
  Maintoolbar1->setChecked(!ToolBar1->isHidden());
  Rotatetoolbar1->setChecked(!ToolBar2->isHidden());
  Preview1->setChecked(!Panel3->isHidden());

  LoadSettings();
  ParseCommandLine(Options.Parameters, JobSettings);
  if (JobSettings.KindGiven)
    RotateButtons[RotateButtonForKind(JobSettings.JobKind)]->setChecked(true);
  KeepGround1->setChecked(JobSettings.KeepGround);
  Panel3->SetKeepGround(JobSettings.KeepGround);
  ShowFileNames();
}

void TForm1::showEvent(QShowEvent* event) {
  QMainWindow::showEvent(event);
  if (!Shown) {
    Shown = true;
    // The heights are known once the window is polished for showing; the
    // progress panel is measured in place before the window appears.
    MeasureHeights();
    FormShow();
  }
}

int TForm1::MeasureHeight(bool withProgress) {
  Panel2->setVisible(withProgress);
  centralWidget()->layout()->invalidate();
  layout()->invalidate();
  centralWidget()->layout()->activate();
  layout()->activate();
  return sizeHint().height();
}

void TForm1::MeasureHeights() {
  JobHeight = MeasureHeight(true);
  NormalHeight = MeasureHeight(false);
  const bool running = JobRunning();
  MeasureHeight(running);
  resize(width(), running ? JobHeight : NormalHeight);
}

void TForm1::FormShow() {
  if (JobSettings.CommandLineMode)
    QMetaObject::invokeMethod(this, &TForm1::StartBtnClick, Qt::QueuedConnection);
}

void TForm1::InputBtnClick() {
  QFileDialog dialog(this, "Input file");
  dialog.setObjectName("OpenDialog1");
  dialog.setAcceptMode(QFileDialog::AcceptOpen);
  dialog.setFileMode(QFileDialog::ExistingFile);
  const QStringList filters = NameFilters(InputFilter());
  dialog.setNameFilters(filters);
  dialog.selectNameFilter(filters.first());
  const std::string folder = ExtractFileDir(JobSettings.InputFileName);
  if (!folder.empty()) dialog.setDirectory(FromFileName(folder));
  dialog.selectFile(FromFileName(ExtractFileName(JobSettings.InputFileName)));
  if (dialog.exec() == QDialog::Accepted && !dialog.selectedFiles().isEmpty()) {
    JobSettings.InputFileName = ToFileName(dialog.selectedFiles().first());
    ProposeOutputName();
    NextJobChanged();
  }
  ShowFileNames();
}

void TForm1::ProposeOutputName() {
  if (JobSettings.OutputFileName.empty())
    JobSettings.OutputFileName = OutputNameForInput(JobSettings.InputFileName, OutputExtension);
}

void TForm1::OutputBtnClick() {
  QFileDialog dialog(this, "Output file");
  dialog.setObjectName("SaveDialog1");
  dialog.setAcceptMode(QFileDialog::AcceptSave);
  dialog.setFileMode(QFileDialog::AnyFile);
  dialog.setOption(QFileDialog::DontConfirmOverwrite);
  const QStringList filters = NameFilters(OutputFilter());
  dialog.setNameFilters(filters);
  dialog.selectNameFilter(filters.first());
  const std::string folder = ExtractFileDir(JobSettings.OutputFileName);
  if (!folder.empty()) dialog.setDirectory(FromFileName(folder));
  dialog.selectFile(FromFileName(ProposedOutputName(JobSettings.InputFileName)));
  if (dialog.exec() == QDialog::Accepted && !dialog.selectedFiles().isEmpty()) {
    const int entry = static_cast<int>(filters.indexOf(dialog.selectedNameFilter())) + 1;
    JobSettings.OutputFileName =
        OutputNameFromDialog(ToFileName(dialog.selectedFiles().first()), entry);
    NextJobChanged();
  }
  ShowFileNames();
}

void TForm1::StartBtnClick() {
  if (JobRunning()) {
    Job->Stop();
    return;
  }
  KindFromButtons();
  ShowFileNames();
  ShowState(TWindowState::Running);
  StatusBar1->clearMessage();
  JobNote.clear();
  SaveSettings();
  // The creation options are those of TIFF or JPEG 2000 outputs; other
  // formats take none.
  TJobOptions options = JobOptionsFor(JobSettings);
  const int format = OutputFormat(JobSettings.OutputFileName);
  if (format == fcJp2)
    options.CreationOptions = JobSettings.Jp2Options;
  else if (format != fcTiff)
    options.CreationOptions.clear();
  options.DropRotation = DropRotation1->isChecked();
  options.BlockCopy = Options.BlockCopy;
  Job = std::make_unique<TMyThread>(*this, JobSettings.InputFileName, JobSettings.OutputFileName,
                                    JobSettings.JobKind, std::move(options));
  SignalWatch->start();
}

void TForm1::KeepGround1Toggled(bool checked) {
  if (JobSettings.KeepGround == checked) return;
  JobSettings.KeepGround = checked;
  Panel3->SetKeepGround(checked);
  SaveSettings();
  NextJobChanged();
}

// How JPEG outputs encoded from cells are compressed; placed JPEGs are
// not encoded again and keep theirs.
void TForm1::JpegQuality1Click() {
  QDialog dialog(this);
  dialog.setObjectName("JpegQualityDialog");
  dialog.setWindowTitle("JPEG quality");
  auto* quality = new QSpinBox(&dialog);
  quality->setObjectName("JpegQualityBox");
  quality->setRange(1, 100);
  quality->setValue(JobSettings.Encoding.JpegQuality);
  auto* sampling = new QComboBox(&dialog);
  sampling->setObjectName("JpegSamplingBox");
  // In the order of TChromaSampling.
  sampling->addItems({"4:4:4 (full colour resolution)", "4:2:2 (half the columns)",
                      "4:2:0 (half the columns and rows)"});
  sampling->setCurrentIndex(static_cast<int>(JobSettings.Encoding.JpegSampling));
  auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, &dialog);
  connect(buttons, &QDialogButtonBox::accepted, &dialog, &QDialog::accept);
  connect(buttons, &QDialogButtonBox::rejected, &dialog, &QDialog::reject);
  auto* layout = new QFormLayout(&dialog);
  layout->addRow("Quality (1 to 100):", quality);
  layout->addRow("Chroma subsampling:", sampling);
  layout->addRow(buttons);
  if (dialog.exec() != QDialog::Accepted) return;
  JobSettings.Encoding.JpegQuality = quality->value();
  JobSettings.Encoding.JpegSampling = static_cast<TChromaSampling>(sampling->currentIndex());
  SaveSettings();
  NextJobChanged();
}

void TForm1::TiffOptions1Click() {
  TTiffOptions options;
  ParseTiffOptions(JobSettings.CreationOptions, options);
  TTiffOptionsDialog dialog(options, this);
  if (dialog.exec() != QDialog::Accepted) return;
  JobSettings.CreationOptions = TiffOptionTexts(dialog.Options());
  SaveSettings();
  NextJobChanged();
}

// JPEG 2000 outputs: lossless, or a quality (a percentage of the
// uncompressed size) through the irreversible wavelet.
void TForm1::Jp2Options1Click() {
  TJp2Options asked;
  ParseJp2Options(JobSettings.Jp2Options, asked);
  QDialog dialog(this);
  dialog.setObjectName("Jp2OptionsDialog");
  dialog.setWindowTitle("JPEG 2000 output options");
  auto* lossless = new QCheckBox("Lossless", &dialog);
  lossless->setObjectName("Jp2LosslessBox");
  lossless->setChecked(asked.Reversible && asked.Quality.back() == 100);
  auto* quality = new QSpinBox(&dialog);
  quality->setObjectName("Jp2QualityBox");
  quality->setRange(1, 99);
  quality->setSuffix(" %");
  quality->setValue(lossless->isChecked() ? 25 : static_cast<int>(asked.Quality.back()));
  quality->setEnabled(!lossless->isChecked());
  connect(lossless, &QCheckBox::toggled, quality, [quality](bool on) { quality->setEnabled(!on); });
  auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, &dialog);
  connect(buttons, &QDialogButtonBox::accepted, &dialog, &QDialog::accept);
  connect(buttons, &QDialogButtonBox::rejected, &dialog, &QDialog::reject);
  auto* layout = new QFormLayout(&dialog);
  layout->addRow(lossless);
  layout->addRow("Quality (of the uncompressed size):", quality);
  layout->addRow(buttons);
  if (dialog.exec() != QDialog::Accepted) return;
  JobSettings.Jp2Options.clear();
  if (!lossless->isChecked())
    JobSettings.Jp2Options.push_back("QUALITY=" + std::to_string(quality->value()));
  SaveSettings();
  NextJobChanged();
}

void TForm1::JobDone() {
  if (!Job) return;
  const std::string message = Job->Message();
  const std::string state = Job->OutputStateText();
  const TJobOutcome outcome = Job->Outcome();
  Job.reset();
  SignalWatch->stop();
  // The progress was this job's; the path a JPEG took stays beside the result.
  setWindowTitle(kProgramCaption);
  StatusBar1->showMessage(FromFileName(JobNote.empty() ? message : message + "; " + JobNote));
  ShowState(TWindowState::Idle);
  SaveSettings();
  if (JobSettings.CommandLineMode) {
    PrintJobResult(message, state);
    ExitCode = ExitStatusFor(outcome);
  }
  if (JobSettings.CommandLineMode || CloseAfterJob) close();
}

void TForm1::ShowState(TWindowState state) {
  const TStateView view = ViewOf(state);
  StartBtn->setText(view.StartCaption);
  StartBtn->setToolTip(view.StartHint);
  StartBtn->setIcon(ListImage(view.StartImage));
  EnableControls(view.ControlsEnabled);
  Stop1->setEnabled(!view.ControlsEnabled);
  Gauge1->setValue(0);
  Label5->setText("Elapsed time:");
  Label6->setText("Remaining time:");
  // The window's smallest size follows the panel once the layouts have
  // seen the change; what the user added to the height stays.
  const int added = std::max(0, height() - (view.JobHeight ? NormalHeight : JobHeight));
  MeasureHeight(view.ProgressVisible);
  resize(width(), (view.JobHeight ? JobHeight : NormalHeight) + added);
}

void TForm1::CancelBtnClick() {
  if (JobRunning())
    Job->Stop();
  else
    close();
}

// Closing during a job must neither cut the output short nor leave the
// worker waiting for a window that is gone: the job is asked to stop and
// the window closes once JobDone has run.
void TForm1::closeEvent(QCloseEvent* event) {
  if (JobRunning()) {
    Job->Stop();
    CloseAfterJob = true;
    event->ignore();
    return;
  }
  QMainWindow::closeEvent(event);
}

void TForm1::About1Click() { About->exec(); }

void TForm1::Content1Click() {
  if (!FileExists(Options.HelpFile)) {
    StatusBar1->showMessage("Help file not found");
    return;
  }
  // The page begins with its contents. A fragment is left off: the desktop's
  // openers take it for part of the file name.
  const QUrl url = QUrl::fromLocalFile(FromFileName(Options.HelpFile));
  if (!QDesktopServices::openUrl(url))
    StatusBar1->showMessage("No program could be started to show the help file");
}

void TForm1::Maintoolbar1Click() { ToolBar1->setVisible(Maintoolbar1->isChecked()); }

void TForm1::Rotatetoolbar1Click() { ToolBar2->setVisible(Rotatetoolbar1->isChecked()); }

void TForm1::Preview1Click() {
  Panel3->setVisible(Preview1->isChecked());
  if (Shown) MeasureHeights();
}

namespace {

std::vector<std::string> DroppedFiles(const QMimeData* data) {
  std::vector<std::string> names;
  if (!data || !data->hasUrls()) return names;
  for (const QUrl& url : data->urls()) {
    if (!url.isLocalFile()) return {};
    names.push_back(ToFileName(url.toLocalFile()));
  }
  return names;
}

}  // namespace

// Files are taken while the file controls are: never during a job. A drop
// only names files, so it is a copy whatever the source proposes: after a
// move the source would delete them.
bool TForm1::TakesDrop(QDropEvent* event) const {
  const size_t count = DroppedFiles(event->mimeData()).size();
  if (JobRunning() || count < 1 || count > 2 || !(event->possibleActions() & Qt::CopyAction)) {
    event->ignore();
    return false;
  }
  event->setDropAction(Qt::CopyAction);
  event->accept();
  return true;
}

void TForm1::dragEnterEvent(QDragEnterEvent* event) { TakesDrop(event); }

void TForm1::dragMoveEvent(QDragMoveEvent* event) { TakesDrop(event); }

void TForm1::dropEvent(QDropEvent* event) {
  if (TakesDrop(event)) FilesDropped(DroppedFiles(event->mimeData()));
}

void TForm1::FilesDropped(const std::vector<std::string>& names) {
  JobSettings.InputFileName = names[0];
  if (names.size() > 1)
    JobSettings.OutputFileName = names[1];
  else
    ProposeOutputName();
  ShowFileNames();
  NextJobChanged();
}

void TForm1::EnableControls(bool enabled) {
  InputBtn->setEnabled(enabled);
  OutputBtn->setEnabled(enabled);
  // The placement too: the preview shows the running job's.
  for (QToolButton* button : RotateButtons) button->setEnabled(enabled);
  Label1->setEnabled(enabled);
  Label2->setEnabled(enabled);
  File1->menuAction()->setEnabled(enabled);
  Process1->menuAction()->setEnabled(enabled);
}

void TForm1::ShowFileNames() {
  Label1->SetFileName(FromFileName(JobSettings.InputFileName));
  Label2->SetFileName(FromFileName(JobSettings.OutputFileName));
  if (!JobSettings.OutputFileName.empty())
    OutputExtension = ExtractFileExt(JobSettings.OutputFileName);
  Panel3->SetInput(JobSettings.InputFileName);
  Panel3->SetOutputName(JobSettings.OutputFileName);
}

// Said before Start, in the words the job would end with.
void TForm1::ShowRefusal() {
  Label8->SetFullText(FromFileName(Panel3->Refusal()));
}

// The last job's result says nothing of a next job that differs.
void TForm1::NextJobChanged() {
  if (!JobRunning()) StatusBar1->clearMessage();
}

void TForm1::KindFromButtons() {
  const int checked = RotateGroup->checkedId();
  JobSettings.JobKind = checked < 0 ? 0 : kRotateButtons[checked].Kind;
}

void TForm1::LoadSettings() { mirava::LoadSettings(Options.SettingsFile, JobSettings); }

// The names are a convenience: a job does not fail for want of them.
void TForm1::SaveSettings() { mirava::SaveSettings(Options.SettingsFile, JobSettings); }

void TForm1::Synchronize(const std::function<void()>& procedure) {
  if (QThread::currentThread() == thread()) {
    procedure();
    return;
  }
  QMetaObject::invokeMethod(
      this, [&procedure] { procedure(); }, Qt::BlockingQueuedConnection);
}

void TForm1::DisplayProgress(int percent, const std::string& elapsed,
                             const std::string& remaining) {
  Gauge1->setValue(percent);
  setWindowTitle(QString("%1  %2 %").arg(kProgramCaption).arg(percent));
  Label5->setText(QString::fromStdString(elapsed));
  Label6->setText(QString::fromStdString(remaining));
}

void TForm1::ShowError(const std::string& text) {
  std::string shown = text;
  // Nobody watches an unattended job: the message goes with its result to
  // standard error instead of waiting for a click.
  if (JobSettings.CommandLineMode) {
    for (char& c : shown)
      if (c == '\r') c = ' ';
    std::fprintf(stderr, "%s\n", shown.c_str());
    return;
  }
  for (char& c : shown)
    if (c == '\r') c = '\n';
  QMessageBox::critical(this, kProgramCaption, FromFileName(shown));
}

void TForm1::ShowNote(const std::string& text) {
  // A later note must not hide an earlier one (an output other programs
  // cannot read, a coordinate system not written).
  JobNote = JobNote.empty() ? text : JobNote + "; " + text;
  if (JobSettings.CommandLineMode)
    std::fprintf(stderr, "%s\n", text.c_str());
  else
    StatusBar1->showMessage(FromFileName(text));
}

void TForm1::JobFinished(TMyThread&) {
  QMetaObject::invokeMethod(this, &TForm1::JobDone, Qt::QueuedConnection);
}

}  // namespace mirava
