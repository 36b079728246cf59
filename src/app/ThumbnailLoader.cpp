#include "app/ThumbnailLoader.h"

namespace mirava {

TThumbnailLoader::TThumbnailLoader(TDone done) : Done(std::move(done)), Worker([this] { Run(); }) {}

TThumbnailLoader::~TThumbnailLoader() {
  {
    std::lock_guard<std::mutex> guard(Lock);
    Stopping = true;
    Cancel = true;
  }
  Wake.notify_one();
  Worker.join();
}

uint64_t TThumbnailLoader::Load(const std::string& fileName) {
  uint64_t ticket;
  {
    std::lock_guard<std::mutex> guard(Lock);
    Pending = fileName;
    HasPending = true;
    ticket = ++Ticket;
    Cancel = true;
  }
  Wake.notify_one();
  return ticket;
}

void TThumbnailLoader::Run() {
  for (;;) {
    std::string fileName;
    uint64_t ticket;
    {
      std::unique_lock<std::mutex> lock(Lock);
      Wake.wait(lock, [this] { return HasPending || Stopping; });
      if (Stopping) return;
      fileName = std::move(Pending);
      HasPending = false;
      ticket = Ticket;
      // Cleared under the lock: a Load after this point cancels this read.
      Cancel = false;
    }
    TThumbnail thumbnail = ReadThumbnail(fileName, Cancel);
    if (thumbnail.Cancelled) continue;
    try {
      Done(ticket, std::move(thumbnail));
    } catch (...) {
      // The receiver's failure must not end the thread; the thumbnail is lost.
    }
  }
}

}  // namespace mirava
