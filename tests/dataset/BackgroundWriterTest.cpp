#include "dataset/BackgroundWriter.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <vector>

#include "TestUtil.h"

using namespace mirava;
using mirava::test::TempDir;

// Writes run one after another, each at its own position (one longer than
// a write call takes, in several), and a failure is reported once, by the
// next Start or Wait.
TEST(BackgroundWriter, WritesInTurnAndReportsFailuresOnce) {
  TempDir dir;
  const std::string name = dir / "out";
  const int fd = ::open(name.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0644);
  ASSERT_GE(fd, 0);
  std::vector<uint8_t> a(1 << 20, 'a'), b(kMaxWriteBytes * 5 / 2);
  for (size_t i = 0; i < b.size(); ++i) b[i] = static_cast<uint8_t>(i % 251);
  {
    TBackgroundWriter writer;
    EXPECT_EQ(writer.Start(fd, a.data(), a.size(), 0), 0);
    EXPECT_EQ(writer.Start(fd, b.data(), b.size(), a.size()), 0);
    EXPECT_EQ(writer.Wait(), 0);
    EXPECT_EQ(writer.Wait(), 0);

    const int readOnly = ::open(name.c_str(), O_RDONLY);
    ASSERT_GE(readOnly, 0);
    EXPECT_EQ(writer.Start(readOnly, a.data(), 10, 0), 0);
    EXPECT_EQ(writer.Wait(), EBADF);
    EXPECT_EQ(writer.Wait(), 0);
    EXPECT_EQ(writer.Start(readOnly, a.data(), 10, 0), 0);
    EXPECT_EQ(writer.Start(fd, a.data(), 10, 0), EBADF);
    ::close(readOnly);
  }  // the destructor waits for the last write
  ::close(fd);
  const std::vector<uint8_t> bytes = test::ReadBytes(name);
  ASSERT_EQ(bytes.size(), a.size() + b.size());
  EXPECT_EQ(bytes.front(), 'a');
  EXPECT_EQ(bytes[a.size() - 1], 'a');
  EXPECT_TRUE(std::equal(b.begin(), b.end(), bytes.begin() + a.size()));
}
