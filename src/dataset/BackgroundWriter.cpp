#include "dataset/BackgroundWriter.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>

namespace mirava {

int WriteAllAt(int fd, const uint8_t* data, uint64_t length, uint64_t position) {
  uint64_t done = 0;
  while (done < length) {
    const ssize_t n = pwrite(fd, data + done, std::min(length - done, kMaxWriteBytes),
                             static_cast<off_t>(position + done));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return n < 0 ? errno : EIO;
    done += static_cast<uint64_t>(n);
  }
  return 0;
}

TBackgroundWriter::~TBackgroundWriter() {
  {
    std::unique_lock<std::mutex> lock(Lock);
    WaitLocked(lock);
    Stopping = true;
  }
  Changed.notify_all();
  if (Thread.joinable()) Thread.join();
}

int TBackgroundWriter::WaitLocked(std::unique_lock<std::mutex>& lock) {
  Changed.wait(lock, [this] { return !Pending; });
  const int result = Result;
  Result = 0;
  return result;
}

int TBackgroundWriter::Wait() {
  std::unique_lock<std::mutex> lock(Lock);
  return WaitLocked(lock);
}

int TBackgroundWriter::Start(int fd, const uint8_t* data, uint64_t length, uint64_t position) {
  int previous;
  {
    std::unique_lock<std::mutex> lock(Lock);
    previous = WaitLocked(lock);
    if (!Thread.joinable()) Thread = std::thread([this] { Run(); });
    Fd = fd;
    Data = data;
    Length = length;
    Position = position;
    Pending = true;
  }
  Changed.notify_all();
  return previous;
}

void TBackgroundWriter::Run() {
  std::unique_lock<std::mutex> lock(Lock);
  for (;;) {
    Changed.wait(lock, [this] { return Pending || Stopping; });
    if (!Pending) return;
    const int fd = Fd;
    const uint8_t* data = Data;
    const uint64_t length = Length, position = Position;
    lock.unlock();
    const int result = WriteAllAt(fd, data, length, position);
    lock.lock();
    Result = result;
    Pending = false;
    Changed.notify_all();
  }
}

}  // namespace mirava
