// mirava-cli: runs one conversion job without a window.
#include <iostream>

#include "app/CommandLine.h"
#include "app/ConsoleHost.h"
#include "app/Version.h"

using namespace mirava;

namespace {

const char* const kUsage =
    "Usage: mirava-cli INPUT OUTPUT [/KIND | -KIND] [/F]\n"
    "\n"
    "Flips or rotates a georeferenced raster and converts it in the same pass.\n"
    "The input's format is recognised from its first bytes, the output's from\n"
    "its extension (.ers; further formats as the README lists them).\n"
    "\n"
    "KIND is one digit:\n"
    "  0  no flip, no rotation (format change only)   [default]\n"
    "  1  horizontal flip (mirror left-right)\n"
    "  4  vertical flip (mirror top-bottom)\n"
    "  5  rotate 180 degrees\n"
    "  3  rotate 90 degrees clockwise\n"
    "  2  rotate 90 degrees counter-clockwise\n"
    "The last switch decides the kind; /F (unattended) is accepted and has no\n"
    "further effect here. A switch starting with \"/\" is exactly two characters\n"
    "long, so absolute paths are file names.\n"
    "\n"
    "Control points move with their pixels into OUTPUT's \".gcp\" file.\n"
    "Progress goes to standard error; Ctrl-C stops the job (\"User Abort\").\n"
    "Exit status: 0 \"Successful Finish\", 1 failure, 2 usage, 130 aborted.\n"
    "\n"
    "  --help     this text\n"
    "  --version  the version\n";

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> parameters(argv + 1, argv + argc);
  for (const std::string& p : parameters) {
    if (p == "--help" || p == "-h") {
      std::cout << kUsage;
      return 0;
    }
    if (p == "--version") {
      std::cout << "mirava-cli " << kVersion << "\n";
      return 0;
    }
  }
  TJobSettings settings;
  ParseCommandLine(parameters, settings);
  if (settings.InputFileName.empty() || settings.OutputFileName.empty()) {
    std::cerr << "mirava-cli: an input and an output file name are needed\n\n"
              << kUsage;
    return 2;
  }

  return RunConsoleJob(settings);
}
