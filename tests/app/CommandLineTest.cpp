#include "app/CommandLine.h"

#include <gtest/gtest.h>

using namespace mirava;

namespace {

TJobSettings Parse(const std::vector<std::string>& parameters,
                   TJobSettings settings = {}) {
  ParseCommandLine(parameters, settings);
  return settings;
}

}  // namespace

TEST(CommandLine, UnattendedSwitchAndKindOrder) {
  TJobSettings s = Parse({"in.ers", "out.tif", "/F"});
  EXPECT_TRUE(s.CommandLineMode);
  EXPECT_EQ(s.JobKind, 0);
  EXPECT_EQ(s.InputFileName, "in.ers");
  EXPECT_EQ(s.OutputFileName, "out.tif");

  s = Parse({"in.ers", "out.tif", "/F", "/3"});
  EXPECT_TRUE(s.CommandLineMode);
  EXPECT_EQ(s.JobKind, 3);
  EXPECT_TRUE(s.KindGiven);

  // F is no digit: the last switch decides and gives kind 0.
  s = Parse({"in.ers", "out.tif", "/3", "/F"});
  EXPECT_TRUE(s.CommandLineMode);
  EXPECT_EQ(s.JobKind, 0);

  s = Parse({"-f", "in.ers", "-5", "out.tif"});
  EXPECT_TRUE(s.CommandLineMode);
  EXPECT_EQ(s.JobKind, 5);
}

TEST(CommandLine, UnattendedNeedsBothNames) {
  TJobSettings loaded;
  loaded.InputFileName = "last-in.ers";
  loaded.OutputFileName = "last-out.ers";
  const TJobSettings s = Parse({"in.ers", "/F"}, loaded);
  EXPECT_FALSE(s.CommandLineMode);
  EXPECT_EQ(s.InputFileName, "in.ers");
  // A name not given keeps the one from the settings file.
  EXPECT_EQ(s.OutputFileName, "last-out.ers");
  EXPECT_FALSE(Parse({"/F"}).CommandLineMode);
}

TEST(CommandLine, AbsolutePathsAndExtraNames) {
  const TJobSettings s = Parse({"/data/in.ers", "/data/out.ers", "/x/third.ers", "/2"});
  EXPECT_EQ(s.InputFileName, "/data/in.ers");
  EXPECT_EQ(s.OutputFileName, "/data/out.ers");
  EXPECT_EQ(s.JobKind, 2);
  EXPECT_FALSE(s.CommandLineMode);
  EXPECT_FALSE(Parse({"a", "b"}).KindGiven);
}

TEST(CommandLine, NamesAreBytes) {
  const std::string utf8 = "/tmp/Karte \xc3\xbc\xd0\xba.ers";
  const std::string latin1 = "/tmp/carte-\xe9t\xe9.ers";
  const TJobSettings s = Parse({utf8, latin1, "/F"});
  EXPECT_EQ(s.InputFileName, utf8);
  EXPECT_EQ(s.OutputFileName, latin1);
}

TEST(CommandLine, MemoryIsNoKindSwitch) {
  TJobSettings s = Parse({"in.ers", "/3", "--memory=512", "out.ers"});
  EXPECT_EQ(s.MemoryMiB, 512u);
  EXPECT_EQ(s.JobKind, 3);
  EXPECT_EQ(s.OutputFileName, "out.ers");
  EXPECT_EQ(Parse({"--memory=-5"}).MemoryMiB, 0u);
}
