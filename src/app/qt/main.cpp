// mirava: the window. With /F and both names it runs the job unattended,
// without a window when there is no display to open one on.
#include <QApplication>
#include <QStringList>
#include <cstdio>
#include <cstdlib>

#include "app/ConsoleHost.h"
#include "app/Settings.h"
#include "app/Version.h"
#include "app/qt/MainForm.h"
#include "text/FileNames.h"

using namespace mirava;

namespace {

const char* const kUsage =
    "Usage: mirava [INPUT [OUTPUT]] [/KIND | -KIND] [/F]\n"
    "              [--jpeg-quality=N] [--jpeg-subsampling=444|422|420]\n"
    "\n"
    "Opens the Mirava window with INPUT and OUTPUT as the job's files, and\n"
    "KIND (one digit, as for mirava-cli) pressed on the rotate toolbar.\n"
    "/F with both names runs the job at once and closes the window when it\n"
    "ends; without a display the job runs without a window. The JPEG\n"
    "switches, as for mirava-cli, replace those of Process > JPEG quality.\n"
    "\n"
    "  --help     this text\n"
    "  --version  the version\n";

// Usage, and where the help page and the settings are, for --help.
void PrintUsage(const std::string& helpFile, const std::string& settingsFile) {
  std::fputs(kUsage, stdout);
  std::printf("\nHelp page: %s%s\nSettings:  %s\n", helpFile.c_str(),
              FileExists(helpFile) ? "" : " (Help file not found)", settingsFile.c_str());
}

TJobSettings UnattendedJob;
std::string SettingsFile;
// While the toolkit starts for an unattended job, its messages are held
// back: a fatal one means no window can open, and the job runs without.
bool StartingToolkit = false;
QStringList HeldMessages;
QtMessageHandler ToolkitHandler = nullptr;

bool DisplayGiven() {
  for (const char* name : {"QT_QPA_PLATFORM", "DISPLAY", "WAYLAND_DISPLAY"}) {
    const char* value = std::getenv(name);
    if (value && *value) return true;
  }
  return false;
}

int RunWithoutWindow() {
  SaveSettings(SettingsFile, UnattendedJob);
  return RunConsoleJob(UnattendedJob);
}

void OnToolkitMessage(QtMsgType type, const QMessageLogContext& context, const QString& text) {
  if (!StartingToolkit) {
    ToolkitHandler(type, context, text);
    return;
  }
  if (type != QtFatalMsg) {
    HeldMessages << qFormatLogMessage(type, context, text);
    return;
  }
  // The toolkit aborts the process once this returns: the job runs here.
  std::fputs("mirava: no window can be opened; running the job without one\n", stderr);
  std::fflush(stderr);
  const int status = RunWithoutWindow();
  std::fflush(nullptr);
  std::_Exit(status);
}

}  // namespace

int main(int argc, char** argv) {
  const std::string executable = ExecutablePath(argv[0]);
  SettingsFile = SettingsFileName(executable);
  for (int i = 1; i < argc; ++i) {
    const std::string parameter = argv[i];
    if (parameter == "--help" || parameter == "-h") {
      PrintUsage(HelpFileName(executable), SettingsFile);
      return 0;
    }
    if (parameter == "--version") {
      std::printf("mirava %s\n", kVersion);
      return 0;
    }
  }
  // As the window does: the saved JPEG encoding, then the command line.
  LoadSettings(SettingsFile, UnattendedJob);
  ParseCommandLine({argv + 1, argv + argc}, UnattendedJob);
  if (UnattendedJob.CommandLineMode) {
    if (!DisplayGiven()) return RunWithoutWindow();
    StartingToolkit = true;
    ToolkitHandler = qInstallMessageHandler(OnToolkitMessage);
  }

  QApplication application(argc, argv);
  // An unattended job stops on these as mirava-cli's does: "User Abort",
  // its temporaries and locks removed.
  if (UnattendedJob.CommandLineMode) CatchStopSignals();
  if (StartingToolkit) {
    StartingToolkit = false;
    for (const QString& message : HeldMessages)
      std::fprintf(stderr, "%s\n", message.toLocal8Bit().constData());
  }
  QApplication::setApplicationName("mirava");
  QApplication::setApplicationVersion(kVersion);

  // The toolkit has taken its own options out of argv.
  TForm1 form({{argv + 1, argv + argc}, SettingsFile, HelpFileName(executable)});
  form.show();
  const int status = application.exec();
  return status != 0 ? status : form.ExitStatus();
}
