#include "app/CommandLine.h"

#include <gtest/gtest.h>

using namespace mirava;

namespace {

TJobSettings Parse(const std::vector<std::string>& parameters, TJobSettings settings = {}) {
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

  // F leaves the kind as it is.
  s = Parse({"in.ers", "out.tif", "/3", "/F", "--keep-ground"});
  EXPECT_TRUE(s.CommandLineMode);
  EXPECT_EQ(s.JobKind, 3);
  EXPECT_TRUE(s.KeepGround);

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

namespace {

std::string Refusal(const std::vector<std::string>& parameters) {
  TJobSettings settings;
  return ParseCliCommandLine(parameters, settings);
}

}  // namespace

// mirava-cli keeps the window's switches but passes over nothing.
TEST(CliCommandLine, RefusesWhatItDoesNotUnderstand) {
  EXPECT_EQ(Refusal({"in.ers", "out.ers", "-90"}), "unknown option -90");
  EXPECT_EQ(Refusal({"in.ers", "out.ers", "/7"}), "/7 is no kind: the kinds are 0 to 5");
  EXPECT_EQ(Refusal({"in.ers", "-9", "out.ers"}), "-9 is no kind: the kinds are 0 to 5");
  EXPECT_EQ(Refusal({"in.ers", "out.ers", "-x"}), "unknown option -x");
  EXPECT_EQ(Refusal({"in.ers", "out.ers", "/f"}),
            "unknown option /f (the unattended switch is /F)");
  EXPECT_EQ(Refusal({"-", "in.ers", "out.ers"}), "unknown option -");
  EXPECT_EQ(Refusal({"in.ers", "out.ers", "--frobnicate"}), "unknown option --frobnicate");
  EXPECT_EQ(Refusal({"in.ers", "out.ers", "third.ers"}),
            "one input and one output are expected; \"third.ers\" is one more");
  EXPECT_EQ(Refusal({"in.ers", "/3"}), "an input and an output file name are needed");
  EXPECT_NE(Refusal({"in.ers", "out.ers", "--memory=lots"}), "");
  EXPECT_NE(Refusal({"in.ers", "out.ers", "--memory=0"}), "");
  EXPECT_NE(Refusal({"in.ers", "out.ers", "--memory=-5"}), "");
}

TEST(CliCommandLine, KeepsEveryDocumentedSwitch) {
  TJobSettings s;
  ASSERT_EQ(ParseCliCommandLine({"/data/in.ers", "-5", "/data/out.tif", "--memory=512"}, s), "");
  EXPECT_EQ(s.InputFileName, "/data/in.ers");
  EXPECT_EQ(s.OutputFileName, "/data/out.tif");
  EXPECT_EQ(s.JobKind, 5);
  EXPECT_EQ(s.MemoryMiB, 512u);
  for (int kind = 0; kind <= 5; ++kind) {
    TJobSettings k;
    ASSERT_EQ(ParseCliCommandLine({"a", "b", "/" + std::to_string(kind)}, k), "");
    EXPECT_EQ(k.JobKind, kind);
  }
  // The last kind switch decides, as in the window; F leaves the kind.
  TJobSettings order;
  ASSERT_EQ(ParseCliCommandLine({"a", "b", "/F", "/3"}, order), "");
  EXPECT_EQ(order.JobKind, 3);
  ASSERT_EQ(ParseCliCommandLine({"a", "b", "/3", "-F", "--keep-ground"}, order), "");
  EXPECT_EQ(order.JobKind, 3);
  EXPECT_TRUE(order.CommandLineMode);
  EXPECT_TRUE(order.KeepGround);
}

// The JPEG switches: the window's command line takes good values and passes
// over bad ones; mirava-cli and batch mode refuse bad ones.
TEST(CliCommandLine, JpegQualityAndSubsampling) {
  TJobSettings s;
  EXPECT_EQ(s.Encoding.JpegQuality, 100);
  EXPECT_EQ(s.Encoding.JpegSampling, TChromaSampling::Full);
  ASSERT_EQ(ParseCliCommandLine({"a", "b.jpg", "--jpeg-quality=75", "--jpeg-subsampling=420"}, s),
            "");
  EXPECT_EQ(s.Encoding.JpegQuality, 75);
  EXPECT_EQ(s.Encoding.JpegSampling, TChromaSampling::Quarter);
  ASSERT_EQ(ParseCliCommandLine({"a", "b.jpg", "--jpeg-quality=1", "--jpeg-subsampling=422"}, s),
            "");
  EXPECT_EQ(s.Encoding.JpegQuality, 1);
  EXPECT_EQ(s.Encoding.JpegSampling, TChromaSampling::Half);
  for (const char* bad : {"0", "101", "", "9x", "-5", "1000"})
    EXPECT_EQ(Refusal({"a", "b", std::string("--jpeg-quality=") + bad}),
              "--jpeg-quality takes a quality of 1 to 100, not \"" + std::string(bad) + "\"");
  for (const char* bad : {"", "411", "4:2:0", "444 "})
    EXPECT_EQ(Refusal({"a", "b", std::string("--jpeg-subsampling=") + bad}),
              "--jpeg-subsampling takes 444, 422 or 420, not \"" + std::string(bad) + "\"");
  EXPECT_EQ(Refusal({"a", "b", "--jpeg-quality"}), "unknown option --jpeg-quality");

  TJobSettings window;
  ParseCommandLine({"a", "b.jpg", "--jpeg-quality=80", "--jpeg-subsampling=nonsense", "/3"},
                   window);
  EXPECT_EQ(window.Encoding.JpegQuality, 80);
  EXPECT_EQ(window.Encoding.JpegSampling, TChromaSampling::Full);
  EXPECT_EQ(window.JobKind, 3);
  EXPECT_EQ(window.OutputFileName, "b.jpg");
}
