// Reads thumbnails on a thread of its own, one at a time; a new request
// cancels the one being read.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

#include "app/Thumbnail.h"

namespace mirava {

class TThumbnailLoader {
 public:
  // Called on the loader's thread with the ticket Load returned, for every
  // thumbnail read to its end (or failed), never for a cancelled one.
  using TDone = std::function<void(uint64_t ticket, TThumbnail thumbnail)>;

  explicit TThumbnailLoader(TDone done);
  // Cancels the read under way and waits for the thread.
  ~TThumbnailLoader();
  TThumbnailLoader(const TThumbnailLoader&) = delete;
  TThumbnailLoader& operator=(const TThumbnailLoader&) = delete;

  // Queues `fileName`, replacing a request not yet begun; returns its
  // ticket, which grows with every call.
  uint64_t Load(const std::string& fileName);

 private:
  void Run();

  TDone Done;
  std::mutex Lock;
  std::condition_variable Wake;
  std::string Pending;
  bool HasPending = false;
  bool Stopping = false;
  uint64_t Ticket = 0;
  std::atomic<bool> Cancel{false};
  std::thread Worker;
};

}  // namespace mirava
