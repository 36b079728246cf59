// mirava-cli: runs one conversion job without a window.
#include <signal.h>
#include <unistd.h>

#include <condition_variable>
#include <cstdio>
#include <deque>
#include <iostream>
#include <mutex>

#include "app/CommandLine.h"
#include "app/Version.h"
#include "job/ConvertThread.h"

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

// Runs the worker's hand-offs on the main thread, as a window would.
class TCliHost : public TJobHost {
 public:
  void Synchronize(const std::function<void()>& procedure) override {
    std::unique_lock lock(Mutex);
    bool done = false;
    Queue.push_back([&] {
      procedure();
      done = true;
    });
    Changed.notify_all();
    Changed.wait(lock, [&] { return done; });
  }

  void DisplayProgress(int percent, const std::string& elapsed,
                       const std::string& remaining) override {
    const auto now = std::chrono::steady_clock::now();
    const auto interval = Terminal ? std::chrono::milliseconds(250)
                                   : std::chrono::milliseconds(1000);
    if (percent < 100 && Shown && now - LastShown < interval) return;
    Shown = true;
    LastShown = now;
    std::string line = std::to_string(percent) + " %  " + elapsed + "  " + remaining;
    if (Terminal)
      std::fprintf(stderr, "\r%s\033[K", line.c_str());
    else
      std::fprintf(stderr, "%s\n", line.c_str());
    std::fflush(stderr);
    LineOpen = Terminal;
  }

  void ShowError(const std::string& text) override {
    EndLine();
    std::string shown = text;
    for (char& c : shown)
      if (c == '\r') c = ' ';
    std::fprintf(stderr, "%s\n", shown.c_str());
  }

  void JobFinished(TMyThread&) override {
    std::lock_guard lock(Mutex);
    Finished = true;
    Changed.notify_all();
  }

  // The main thread's loop: run hand-offs until the job has finished.
  void Serve() {
    std::unique_lock lock(Mutex);
    for (;;) {
      Changed.wait(lock, [&] { return Finished || !Queue.empty(); });
      while (!Queue.empty()) {
        auto procedure = std::move(Queue.front());
        Queue.pop_front();
        procedure();
      }
      Changed.notify_all();
      if (Finished) return;
    }
  }

  void EndLine() {
    if (LineOpen) std::fprintf(stderr, "\n");
    LineOpen = false;
  }

 private:
  std::mutex Mutex;
  std::condition_variable Changed;
  std::deque<std::function<void()>> Queue;
  bool Finished = false;
  bool Terminal = isatty(STDERR_FILENO);
  bool Shown = false;
  bool LineOpen = false;
  std::chrono::steady_clock::time_point LastShown;
};

void RequestAbort(int) { AbortRequested = true; }

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

  struct sigaction action {};
  action.sa_handler = RequestAbort;
  sigemptyset(&action.sa_mask);
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);

  TCliHost host;
  AbortRequested = false;
  Busy = true;
  std::string message;
  bool succeeded;
  {
    TMyThread job(host, settings.InputFileName, settings.OutputFileName,
                  settings.JobKind);
    host.Serve();
    message = job.Message();
    succeeded = job.Succeeded();
  }
  host.EndLine();
  std::fprintf(stderr, "%s\n", message.c_str());
  if (succeeded) return 0;
  return message == kAbortMessage ? 130 : 1;
}
