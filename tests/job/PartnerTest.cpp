#include "job/Partner.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

using namespace mirava;

// Many rounds one after the other, of one part to many, some far too short
// for the second thread to wake before the owner is done and some long
// enough for both: each part of each round runs exactly once, and all of a
// round's parts are finished (their writes seen) when Share returns.
TEST(Partner, EveryPartOfEveryRoundRunsOnceBeforeShareReturns) {
  TPartner partner;
  std::vector<std::atomic<uint32_t>> runs(257);
  std::vector<uint32_t> written(257);
  std::atomic<bool> sawTwoThreads{false};
  for (uint32_t round = 1; round <= 2000; ++round) {
    const uint32_t parts = 1 + round % 257;
    const bool slow = round % 50 == 0;
    const std::thread::id owner = std::this_thread::get_id();
    partner.Share(parts, [&](uint32_t part) {
      if (slow) std::this_thread::sleep_for(std::chrono::microseconds(200));
      if (std::this_thread::get_id() != owner) sawTwoThreads = true;
      runs[part].fetch_add(1);
      written[part] = round;
    });
    for (uint32_t p = 0; p < 257; ++p) {
      ASSERT_EQ(runs[p].exchange(0), p < parts ? 1u : 0u) << "round " << round << " part " << p;
      if (p < parts) {
        ASSERT_EQ(written[p], round) << "round " << round << " part " << p;
      }
    }
  }
  EXPECT_EQ(sawTwoThreads.load(), partner.HasThread());
  EXPECT_EQ(partner.HasThread(), std::thread::hardware_concurrency() > 1);
}

// A partner that never took part in a round stops at once, and one that
// shared nothing at all as well.
TEST(Partner, StopsWhenTheOwnerIsDone) {
  { TPartner idle; }
  TPartner partner;
  uint32_t count = 0;
  partner.Share(1, [&](uint32_t) { ++count; });
  partner.Share(0, [&](uint32_t) { ++count; });
  EXPECT_EQ(count, 1u);
}
