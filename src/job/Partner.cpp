#include "job/Partner.h"

#include <system_error>

namespace mirava {

TPartner::TPartner() {
  if (std::thread::hardware_concurrency() < 2) return;
  try {
    Thread = std::thread([this] { Run(); });
  } catch (const std::system_error&) {
    // No thread to be had: every part on the owner's.
  }
}

TPartner::~TPartner() {
  if (!Thread.joinable()) return;
  Stopping = true;
  // A new value of Next wakes the thread, which then sees Stopping.
  Next.fetch_add(uint64_t{1} << 32);
  Next.notify_one();
  Thread.join();
}

bool TPartner::Take(uint64_t round, uint32_t parts, uint32_t& part) {
  uint64_t next = Next.load();
  while ((next >> 32) == round && static_cast<uint32_t>(next) < parts)
    if (Next.compare_exchange_weak(next, next + 1)) {
      part = static_cast<uint32_t>(next);
      return true;
    }
  return false;
}

void TPartner::Share(uint32_t parts, const std::function<void(uint32_t)>& work) {
  if (!Thread.joinable() || parts < 2) {
    for (uint32_t p = 0; p < parts; ++p) work(p);
    return;
  }
  uint64_t round;
  {
    const std::lock_guard<std::mutex> guard(Lock);
    Work = &work;
    Parts = parts;
    Done = 0;
    round = (Next.load() >> 32) + 1;
    Next = round << 32;
  }
  Next.notify_one();
  uint32_t part, mine = 0;
  while (Take(round, parts, part)) {
    work(part);
    ++mine;
  }
  // The parts the other thread took, each counted when it is finished.
  for (uint32_t done = Done.load(); done != parts - mine; done = Done.load()) Done.wait(done);
}

void TPartner::Run() {
  uint64_t round = 0;  // the last round this thread took part in
  for (;;) {
    for (uint64_t next = Next.load(); (next >> 32) == round; next = Next.load()) Next.wait(next);
    const std::function<void(uint32_t)>* work;
    uint32_t parts;
    {
      const std::lock_guard<std::mutex> guard(Lock);
      work = Work;
      parts = Parts;
      round = Next.load() >> 32;
    }
    if (Stopping) return;
    uint32_t part;
    while (Take(round, parts, part)) {
      (*work)(part);
      Done.fetch_add(1);
      Done.notify_one();
    }
  }
}

}  // namespace mirava
