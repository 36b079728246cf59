// A second thread, kept for as long as its owner lives (a quarter turn), that
// takes parts of one piece of work after another beside the thread that owns
// it: a thread started for each piece, with halves fixed in advance, left
// one thread waiting whenever the other lost its core.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <thread>

namespace mirava {

class TPartner {
 public:
  // Starts the second thread where there are two cores and a thread to be
  // had; without one, Share does every part on the calling thread.
  TPartner();
  ~TPartner();
  TPartner(const TPartner&) = delete;
  TPartner& operator=(const TPartner&) = delete;

  // Calls work(0) .. work(parts - 1), each once, on this thread and the
  // second one, whichever is free first, and returns when all are done.
  // `work` must not throw: a part runs on either thread.
  void Share(uint32_t parts, const std::function<void(uint32_t)>& work);
  bool HasThread() const { return Thread.joinable(); }

 private:
  void Run();
  // Takes the next part of round `round`; false once the round has none.
  bool Take(uint64_t round, uint32_t parts, uint32_t& part);

  std::mutex Lock;  // guards Work and Parts while a round is posted
  const std::function<void(uint32_t)>* Work = nullptr;
  uint32_t Parts = 0;
  // The round in the high half, the next part to take in the low half: a
  // part is taken only while the round is the one it was posted in.
  std::atomic<uint64_t> Next{0};
  std::atomic<uint32_t> Done{0};
  std::atomic<bool> Stopping{false};
  std::thread Thread;
};

}  // namespace mirava
