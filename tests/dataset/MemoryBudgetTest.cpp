#include "dataset/MemoryBudget.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "TestUtil.h"

using namespace mirava;
using namespace mirava::test;

namespace {

TMemorySources FakeMachine(const TempDir& dir, const std::string& cgroups) {
  TMemorySources sources{dir / "meminfo", dir / "cgroup", dir / "sys"};
  WriteText(sources.MemInfo,
            "MemTotal:       24683772 kB\nMemFree:  100 kB\n"
            "MemAvailable:    8388608 kB\nBuffers: 5 kB\n");
  WriteText(sources.SelfCgroup, cgroups);
  return sources;
}

void WriteLimit(const std::string& file, const std::string& value) {
  std::filesystem::create_directories(std::filesystem::path(file).parent_path());
  WriteText(file, value + "\n");
}

}  // namespace

TEST(MemoryBudget, AvailableMemoryWithoutLimits) {
  TempDir dir;
  EXPECT_EQ(MemoryToCountOn(FakeMachine(dir, "0::/\n")), 8ull << 30);
  EXPECT_EQ(MemoryToCountOn({dir / "none", dir / "none", dir / "none"}), UINT64_MAX);
}

// The tightest limit on the way up counts, in v1 and in v2 (mounted alone
// or beside v1 as "unified"); "max" and the root's huge v1 figure do not.
TEST(MemoryBudget, TightestCgroupLimitOnTheWayUp) {
  TempDir dir;
  TMemorySources v1 = FakeMachine(dir, "9:name=systemd:/\n4:cpu,memory:/jobs/one\n0::/\n");
  WriteLimit(dir / "sys/memory/memory.limit_in_bytes", "9223372036854771712");
  WriteLimit(dir / "sys/memory/jobs/memory.limit_in_bytes", "1073741824");
  WriteLimit(dir / "sys/memory/jobs/one/memory.limit_in_bytes", "2147483648");
  EXPECT_EQ(MemoryToCountOn(v1), 1ull << 30);

  TempDir dir2;
  TMemorySources v2 = FakeMachine(dir2, "0::/user/job\n");
  WriteLimit(dir2 / "sys/user/job/memory.max", "max");
  WriteLimit(dir2 / "sys/user/memory.max", "536870912");
  EXPECT_EQ(MemoryToCountOn(v2), 512ull << 20);

  TempDir dir3;
  TMemorySources hybrid = FakeMachine(dir3, "0::/job\n");
  WriteLimit(dir3 / "sys/unified/job/memory.max", "268435456");
  EXPECT_EQ(MemoryToCountOn(hybrid), 256ull << 20);
}

// A quarter turn's stripe leaves room for the process and the page cache:
// never more than three quarters of the budget (a stripe of all of it was
// killed by a memory cgroup of 64 MiB), whole pages of output rows where
// they fit, fewer rows than a page rather than no stripes where they do not
// (the per-block sweeps it fell back to took minutes), none when the
// process alone needs the budget.
TEST(MemoryBudget, StripesLeaveRoomForTheProcessAndThePageCache) {
  constexpr uint64_t MiB = 1 << 20;
  for (uint64_t budget : {24 * MiB, 32 * MiB, 64 * MiB, 96 * MiB, 1024 * MiB, 16384 * MiB})
    for (uint64_t rowBytes : {uint64_t{1000}, uint64_t{16384}, uint64_t{65536}, 3 * MiB}) {
      const uint32_t rows = StripeRowsWithin(budget, rowBytes, 4096, 64, 65536);
      EXPECT_LE(rows * rowBytes, budget / 4 * 3) << budget << " " << rowBytes;
      EXPECT_EQ(rows % 16, 0u) << budget << " " << rowBytes;
    }
  const uint32_t small = StripeRowsWithin(64 * MiB, 16384, 4096, 64, 16384);
  EXPECT_GT(small, 1024u);
  EXPECT_LT(small, 4096u);
  EXPECT_EQ(StripeRowsWithin(1024 * MiB, 65536, 4096, 64, 65536), 8192u);
  EXPECT_EQ(StripeRowsWithin(1024 * MiB, 1000, 4096, 64, 500), 500u);
  EXPECT_EQ(StripeRowsWithin(16 * MiB, 1000, 4096, 64, 65536), 0u);
  EXPECT_EQ(StripeRowsWithin(64 * MiB, 2 * MiB, 4096, 64, 65536), 0u);
}

// The read-ahead of a file read once stays within the page cache's share of
// the budget: 64 MiB where there is room, less in tight cgroups, whole pages
// and never under the kernel's own step.
TEST(MemoryBudget, ReadAheadWithinThePageCachesShare) {
  constexpr uint64_t MiB = 1u << 20;
  EXPECT_EQ(ReadAheadWithin(UINT64_MAX), 64 * MiB);
  EXPECT_EQ(ReadAheadWithin(1024 * MiB), 64 * MiB);
  EXPECT_EQ(ReadAheadWithin(32 * MiB), 2 * MiB);
  EXPECT_EQ(ReadAheadWithin(16 * MiB), 128u << 10);
  EXPECT_EQ(ReadAheadWithin(0), 128u << 10);
  for (uint64_t budget = 20 * MiB; budget <= 600 * MiB; budget += 7 * MiB + 123) {
    const uint64_t ahead = ReadAheadWithin(budget);
    EXPECT_EQ(ahead % 4096, 0u) << budget;
    EXPECT_LE(ahead, budget / 8) << budget;
    // With a stripe of as many rows as the budget allows, the read-ahead
    // fits beside it.
    const uint64_t rowBytes = 16384;
    const uint64_t stripe =
        uint64_t{StripeRowsWithin(budget, rowBytes, 4096, 64, 65536)} * rowBytes;
    EXPECT_LE(16 * MiB + 64 * rowBytes + stripe + ahead, budget) << budget;
  }
}
