// The window's tests: "window" runs the window in this process, "unattended"
// runs the program; no argument runs both.
#include <QApplication>
#include <QStandardPaths>
#include <cstring>
#include <vector>

int RunMainFormTests(int argc, char** argv);
int RunUnattendedTests(int argc, char** argv);

int main(int argc, char** argv) {
  // Qt's own settings (the file dialogs' state) go to a test location, never
  // into the user's configuration.
  QStandardPaths::setTestModeEnabled(true);
  QApplication application(argc, argv);
  const char* suite = argc > 1 && argv[1][0] != '-' ? argv[1] : "";
  std::vector<char*> arguments{argv[0]};
  for (int i = *suite ? 2 : 1; i < argc; ++i) arguments.push_back(argv[i]);
  const int count = static_cast<int>(arguments.size());
  int status = 0;
  if (!*suite || std::strcmp(suite, "window") == 0)
    status |= RunMainFormTests(count, arguments.data());
  if (!*suite || std::strcmp(suite, "unattended") == 0)
    status |= RunUnattendedTests(count, arguments.data());
  return status;
}
