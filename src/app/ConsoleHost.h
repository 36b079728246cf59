// Runs a job without a window: the worker's hand-offs run on the calling
// thread, progress and the result go to standard error.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <string>

#include "app/CommandLine.h"
#include "job/ConvertThread.h"

namespace mirava {

class TConsoleHost : public TJobHost {
 public:
  // Quiet: no progress and no notes, only what went wrong.
  explicit TConsoleHost(bool quiet = false);
  void Synchronize(const std::function<void()>& procedure) override;
  void DisplayProgress(int percent, const std::string& elapsed,
                       const std::string& remaining) override;
  void ShowError(const std::string& text) override;
  void ShowNote(const std::string& text) override {
    if (!Quiet) ShowError(text);
  }
  void JobFinished(TMyThread& job) override;

  // The main thread's loop: run hand-offs until `job` has finished, and
  // pass a stop signal on to it.
  void Serve(TMyThread& job);
  // Ends an open progress line.
  void EndLine();

 private:
  std::mutex Mutex;
  std::condition_variable Changed;
  std::deque<std::function<void()>> Queue;
  bool Finished = false;
  bool Terminal;
  bool Quiet;
  bool Shown = false;
  bool LineOpen = false;
  std::chrono::steady_clock::time_point LastShown;
};

// Exit status for a job's outcome: 0 "Successful Finish", 130 "User Abort",
// 1 any failure.
int ExitStatusFor(TJobOutcome outcome);
// A job's result on standard error, then, after a failure, what the output
// holds.
void PrintJobResult(const std::string& message, const std::string& outputState);

// Set by Ctrl-C, SIGTERM and SIGHUP (a closed terminal or ssh session) once
// CatchStopSignals ran; the hosts pass it on to their jobs.
extern std::atomic<bool> StopSignalled;
// How often a host looks at StopSignalled while it waits.
constexpr auto kSignalPoll = std::chrono::milliseconds(50);

// Ctrl-C, SIGTERM and SIGHUP set StopSignalled from now on; writing to a
// closed pipe no longer ends the process.
void CatchStopSignals();

// Runs the job of `settings` to its end. Ctrl-C, SIGTERM and SIGHUP ask it
// to stop.
// Returns the exit status; the result is the last line on standard error,
// which a quiet job leaves out after a success.
int RunConsoleJob(const TJobSettings& settings);

}  // namespace mirava
