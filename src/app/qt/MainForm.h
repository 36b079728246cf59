// The main window: job settings, start and stop of the worker, progress and
// result, the remembered names and the unattended job of the command line.
#pragma once

#include <QIcon>
#include <QMainWindow>
#include <QTimer>
#include <memory>
#include <string>
#include <vector>

#include "app/CommandLine.h"
#include "app/WindowLogic.h"
#include "job/ConvertThread.h"

class QAction;
class QButtonGroup;
class QFrame;
class QLabel;
class QMenu;
class QProgressBar;
class QToolBar;
class QToolButton;

namespace mirava {

class TAbout;
class TElidedLabel;
class TFileLabel;
class TPreviewPanel;
class TStatusBar;

// File names are byte strings; these convert for display and dialogs.
QString FromFileName(const std::string& name);
std::string ToFileName(const QString& name);

class TForm1 : public QMainWindow, public TJobHost {
  Q_OBJECT
 public:
  struct TOptions {
    std::vector<std::string> Parameters;  // the command line, without argv[0]
    std::string SettingsFile;
    std::string HelpFile;
    // Off, jobs take the cell-by-cell path (TJobOptions::BlockCopy).
    bool BlockCopy = true;
  };

  explicit TForm1(TOptions options, QWidget* parent = nullptr);
  // Waits for a running job, which is asked to stop.
  ~TForm1() override;

  // The process's exit status: that of the unattended job, else 0.
  int ExitStatus() const { return ExitCode; }
  // A job runs from Start until JobDone has run, after its thread ended.
  bool JobRunning() const { return Job != nullptr; }
  const TJobSettings& Settings() const { return JobSettings; }
  int NormalHeightValue() const { return NormalHeight; }
  int JobHeightValue() const { return JobHeight; }
  int MinimumWidthValue() const { return MinimumWidth; }

  void Synchronize(const std::function<void()>& procedure) override;
  void DisplayProgress(int percent, const std::string& elapsed,
                       const std::string& remaining) override;
  void ShowError(const std::string& text) override;
  // In the status bar while the job runs, then beside its result.
  void ShowNote(const std::string& text) override;
  void JobFinished(TMyThread& job) override;

 protected:
  void showEvent(QShowEvent* event) override;
  void closeEvent(QCloseEvent* event) override;
  void dragEnterEvent(QDragEnterEvent* event) override;
  void dragMoveEvent(QDragMoveEvent* event) override;
  void dropEvent(QDropEvent* event) override;

 private:
  void CreateComponents();
  void FormCreate();
  void FormShow();
  void InputBtnClick();
  void OutputBtnClick();
  void StartBtnClick();
  // Process > TIFF output options: the creation options of TIFF outputs.
  void TiffOptions1Click();
  void Jp2Options1Click();
  void JobDone();
  void CancelBtnClick();
  void About1Click();
  void Content1Click();
  void Maintoolbar1Click();
  void Rotatetoolbar1Click();
  void Preview1Click();
  void JpegQuality1Click();
  void KeepGround1Toggled(bool checked);
  // Accepts a drag of one or two files, as a copy.
  bool TakesDrop(QDropEvent* event) const;
  // One dropped file is the input, a second the output.
  void FilesDropped(const std::vector<std::string>& names);
  // The input changed: an empty output name gets one from it.
  void ProposeOutputName();
  void EnableControls(bool enabled);
  void ShowState(TWindowState state);
  // The window's height with the progress panel shown or hidden.
  int MeasureHeight(bool withProgress);
  // NormalHeight and JobHeight anew, after a panel was shown or hidden.
  void MeasureHeights();
  void ShowFileNames();
  void ShowRefusal();
  // The settings of the next job changed: the last job's result goes.
  void NextJobChanged();
  void KindFromButtons();
  void LoadSettings();
  void SaveSettings();

  TOptions Options;
  TJobSettings JobSettings;
  std::string JobNote;  // every note of the running or last job, in order
  std::unique_ptr<TMyThread> Job;
  // Passes a stop signal (StopSignalled) on to the running job.
  QTimer* SignalWatch = nullptr;
  bool CloseAfterJob = false;
  bool Shown = false;
  int ExitCode = 0;
  int MinimumWidth = 0;
  int NormalHeight = 0;
  int JobHeight = 0;
  // The extension of the last output name, given to proposed ones.
  std::string OutputExtension;

  QMenu* File1 = nullptr;
  QMenu* Process1 = nullptr;
  QMenu* View1 = nullptr;
  QMenu* Help1 = nullptr;
  QAction* Inputfile1 = nullptr;
  QAction* Outputfile1 = nullptr;
  QAction* Exit1 = nullptr;
  QAction* Start1 = nullptr;
  QAction* Stop1 = nullptr;  // Esc during a job
  QAction* JpegQuality1 = nullptr;
  QAction* TiffOptions1 = nullptr;
  QAction* Jp2Options1 = nullptr;
  QAction* DropRotation1 = nullptr;
  QAction* KeepGround1 = nullptr;
  QAction* Maintoolbar1 = nullptr;
  QAction* Rotatetoolbar1 = nullptr;
  QAction* Preview1 = nullptr;
  QAction* About1 = nullptr;
  QAction* Content1 = nullptr;
  QToolBar* ToolBar1 = nullptr;
  QToolBar* ToolBar2 = nullptr;
  QToolButton* InputBtn = nullptr;
  QToolButton* OutputBtn = nullptr;
  QToolButton* StartBtn = nullptr;
  QToolButton* RotateButtons[kRotateButtonCount] = {};
  QButtonGroup* RotateGroup = nullptr;
  QFrame* Panel1 = nullptr;
  TFileLabel* Label1 = nullptr;
  TFileLabel* Label2 = nullptr;
  TElidedLabel* Label8 = nullptr;  // why the output cannot hold the input
  TPreviewPanel* Panel3 = nullptr;
  QFrame* Panel2 = nullptr;
  QProgressBar* Gauge1 = nullptr;
  QLabel* Label5 = nullptr;
  QLabel* Label6 = nullptr;
  TStatusBar* StatusBar1 = nullptr;
  TAbout* About = nullptr;
};

// The image of the window's image list at `index` (WindowLogic.h).
QIcon ListImage(int index);

}  // namespace mirava
