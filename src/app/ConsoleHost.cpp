#include "app/ConsoleHost.h"

#include <signal.h>
#include <unistd.h>

#include <cstdio>

namespace mirava {

TConsoleHost::TConsoleHost(bool quiet) : Terminal(isatty(STDERR_FILENO)), Quiet(quiet) {}

void TConsoleHost::Synchronize(const std::function<void()>& procedure) {
  std::unique_lock lock(Mutex);
  bool done = false;
  Queue.push_back([&] {
    procedure();
    done = true;
  });
  Changed.notify_all();
  Changed.wait(lock, [&] { return done; });
}

void TConsoleHost::DisplayProgress(int percent, const std::string& elapsed,
                                   const std::string& remaining) {
  if (Quiet) return;
  const auto now = std::chrono::steady_clock::now();
  const auto interval = Terminal ? std::chrono::milliseconds(250) : std::chrono::milliseconds(1000);
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

void TConsoleHost::ShowError(const std::string& text) {
  EndLine();
  std::string shown = text;
  for (char& c : shown)
    if (c == '\r') c = ' ';
  std::fprintf(stderr, "%s\n", shown.c_str());
}

void TConsoleHost::JobFinished(TMyThread&) {
  std::lock_guard lock(Mutex);
  Finished = true;
  Changed.notify_all();
}

void TConsoleHost::Serve(TMyThread& job) {
  std::unique_lock lock(Mutex);
  for (;;) {
    // A signal handler cannot wake a condition variable: the flag it sets
    // is looked at a few times a second.
    Changed.wait_for(lock, kSignalPoll, [&] { return Finished || !Queue.empty(); });
    if (StopSignalled) job.Stop();
    while (!Queue.empty()) {
      auto procedure = std::move(Queue.front());
      Queue.pop_front();
      procedure();
    }
    Changed.notify_all();
    if (Finished) return;
  }
}

void TConsoleHost::EndLine() {
  if (LineOpen) std::fprintf(stderr, "\n");
  LineOpen = false;
}

void PrintJobResult(const std::string& message, const std::string& outputState) {
  std::fprintf(stderr, "%s\n", message.c_str());
  if (!outputState.empty()) std::fprintf(stderr, "%s\n", outputState.c_str());
}

int ExitStatusFor(TJobOutcome outcome) {
  switch (outcome) {
    case TJobOutcome::Succeeded:
      return 0;
    case TJobOutcome::Aborted:
      return 130;
    case TJobOutcome::Failed:
      break;
  }
  return 1;
}

std::atomic<bool> StopSignalled{false};

namespace {

void RequestAbort(int) { StopSignalled = true; }

}  // namespace

void CatchStopSignals() {
  struct sigaction action {};
  action.sa_handler = RequestAbort;
  sigemptyset(&action.sa_mask);
  for (const int stop : {SIGINT, SIGTERM, SIGHUP}) sigaction(stop, &action, nullptr);
  // A dropped session closes the pipes standard error goes to: the last
  // lines are lost, but the job must still end the way it was asked to.
  signal(SIGPIPE, SIG_IGN);
}

int RunConsoleJob(const TJobSettings& settings) {
  CatchStopSignals();
  TConsoleHost host(settings.Gdal.Quiet);
  StopSignalled = false;
  std::string message, state;
  TJobOutcome outcome;
  {
    TMyThread job(host, settings.InputFileName, settings.OutputFileName, settings.JobKind,
                  JobOptionsFor(settings));
    host.Serve(job);
    message = job.Message();
    state = job.OutputStateText();
    outcome = job.Outcome();
  }
  host.EndLine();
  if (!settings.Gdal.Quiet || outcome != TJobOutcome::Succeeded) PrintJobResult(message, state);
  return ExitStatusFor(outcome);
}

}  // namespace mirava
