#include "job/MemoryBudget.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "TestUtil.h"

using namespace mirava;
using namespace mirava::test;

namespace {

TMemorySources FakeMachine(const TempDir& dir, const std::string& cgroups) {
  TMemorySources sources{dir / "meminfo", dir / "cgroup", dir / "sys"};
  WriteText(sources.MemInfo, "MemTotal:       24683772 kB\nMemFree:  100 kB\n"
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
