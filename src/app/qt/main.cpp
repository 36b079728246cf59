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

using namespace mirava;

namespace {

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
  std::string error;
  SaveSettings(SettingsFile, UnattendedJob, error);
  return RunConsoleJob(UnattendedJob);
}

void OnToolkitMessage(QtMsgType type, const QMessageLogContext& context,
                      const QString& text) {
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
  ParseCommandLine({argv + 1, argv + argc}, UnattendedJob);
  if (UnattendedJob.CommandLineMode) {
    if (!DisplayGiven()) return RunWithoutWindow();
    StartingToolkit = true;
    ToolkitHandler = qInstallMessageHandler(OnToolkitMessage);
  }

  QApplication application(argc, argv);
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
