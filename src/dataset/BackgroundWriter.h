// Writes one buffer at a time to a file on a thread of its own, so that the
// next rows are assembled while the kernel copies the last ones.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <thread>

namespace mirava {

// The most one write call hands the kernel. A call that covers an aligned
// 2 MiB range of a file gets a 2 MiB page-cache folio; on a virtual machine
// that hands free memory back to its host, such folios are mostly memory
// the host has to supply again, and 256 MiB written in calls of 2 MiB took
// 1.5 to 5 times as long as in calls of 1 MiB or less.
constexpr uint64_t kMaxWriteBytes = 1u << 20;

// Writes data[0 .. length) at `position` of `fd`, in calls of at most
// kMaxWriteBytes, resuming after short writes; 0 or the errno of the
// failure.
int WriteAllAt(int fd, const uint8_t* data, uint64_t length, uint64_t position);

class TBackgroundWriter {
 public:
  TBackgroundWriter() = default;
  ~TBackgroundWriter();
  TBackgroundWriter(const TBackgroundWriter&) = delete;
  TBackgroundWriter& operator=(const TBackgroundWriter&) = delete;

  // Waits for the write in progress, then starts this one; the buffer must
  // stay untouched until the next Start or Wait. Returns the finished
  // write's result, as Wait does.
  int Start(int fd, const uint8_t* data, uint64_t length, uint64_t position);
  // Waits for the write in progress: 0, or the errno it failed with (kept
  // until Wait reports it once).
  int Wait();

 private:
  void Run();
  int WaitLocked(std::unique_lock<std::mutex>& lock);

  std::mutex Lock;
  std::condition_variable Changed;
  std::thread Thread;
  int Fd = -1;
  const uint8_t* Data = nullptr;
  uint64_t Length = 0;
  uint64_t Position = 0;
  bool Pending = false;
  bool Stopping = false;
  int Result = 0;
};

}  // namespace mirava
