#include "app/Settings.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <optional>

#include "../TestUtil.h"
#include "app/IniFile.h"

using namespace mirava;
using mirava::test::TempDir;

namespace {

// Sets an environment variable for one test and puts it back after.
class TEnvironment {
 public:
  TEnvironment(const char* name, const char* value) : Name(name) {
    if (const char* old = std::getenv(name)) Old = old;
    if (value)
      setenv(name, value, 1);
    else
      unsetenv(name);
  }
  ~TEnvironment() {
    if (Old)
      setenv(Name, Old->c_str(), 1);
    else
      unsetenv(Name);
  }

 private:
  const char* Name;
  std::optional<std::string> Old;
};

TJobSettings Names(const std::string& in, const std::string& out) {
  TJobSettings s;
  s.InputFileName = in;
  s.OutputFileName = out;
  return s;
}

}  // namespace

TEST(Settings, RoundTripKeepsBytes) {
  TempDir dir;
  const std::string file = dir / "mirava.ini";
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"/data/in.ers", "/data/out.tif"},
      {"/tmp/Karte \xc3\xbc\xd0\xba.ers", "/tmp/carte-\xe9t\xe9.ers"},
      {" leading and trailing ", "\"quoted\""},
      {"", "only-output.ers"}};
  for (const auto& [in, out] : cases) {
    ASSERT_EQ(SaveSettings(file, Names(in, out)).Text, "");
    TJobSettings loaded = Names("stale", "stale");
    LoadSettings(file, loaded);
    EXPECT_EQ(loaded.InputFileName, in);
    EXPECT_EQ(loaded.OutputFileName, out);
  }
}

// The JPEG encoding the window's dialog sets: kept in section "Jpeg"; a
// missing or bad value gives the default.
TEST(Settings, JpegEncodingRoundTripAndDefaults) {
  TempDir dir;
  const std::string file = dir / "mirava.ini";
  TJobSettings saved = Names("in.ers", "out.jpg");
  saved.Encoding = {55, TChromaSampling::Quarter};
  ASSERT_EQ(SaveSettings(file, saved).Text, "");
  EXPECT_NE(test::ReadText(file).find("[Jpeg]"), std::string::npos);
  TJobSettings loaded;
  LoadSettings(file, loaded);
  EXPECT_EQ(loaded.Encoding.JpegQuality, 55);
  EXPECT_EQ(loaded.Encoding.JpegSampling, TChromaSampling::Quarter);

  test::WriteText(file, "[Names]\nInName=a\n[Jpeg]\nQuality=0\nSubsampling=4:2:0\n");
  LoadSettings(file, loaded);
  EXPECT_EQ(loaded.Encoding.JpegQuality, 100);
  EXPECT_EQ(loaded.Encoding.JpegSampling, TChromaSampling::Full);
}

TEST(Settings, TiffCreationOptionsKeptAndWrongOnesDropped) {
  TempDir dir;
  const std::string file = dir / "mirava.ini";
  TJobSettings settings = Names("/a/in.ers", "/b/out.tif");
  settings.CreationOptions = {"COMPRESS=ZSTD", "TILED=YES"};
  ASSERT_EQ(SaveSettings(file, settings).Text, "");
  TJobSettings loaded;
  LoadSettings(file, loaded);
  EXPECT_EQ(loaded.CreationOptions, settings.CreationOptions);
  TIniFile ini(file);
  ini.WriteString("TIFF", "CreationOptions", "COMPRESS=ZSTD PREDICTOR=7");
  ASSERT_FALSE(ini.UpdateFile().Failed());
  TJobSettings edited;
  LoadSettings(file, edited);
  EXPECT_TRUE(edited.CreationOptions.empty());
  EXPECT_EQ(edited.InputFileName, "/a/in.ers");
}

TEST(Settings, FileIsPlainText) {
  TempDir dir;
  const std::string file = dir / "mirava.ini";
  ASSERT_EQ(SaveSettings(file, Names("/a/in.ers", "/b/out.ers")).Text, "");
  EXPECT_EQ(test::ReadText(file),
            "[Names]\nInName=/a/in.ers\nOutName=/b/out.ers\n\n"
            "[Jpeg]\nQuality=100\nSubsampling=444\n");
}

TEST(Settings, MissingOrUnreadableFileGivesEmptyNames) {
  TempDir dir;
  TJobSettings loaded = Names("x", "y");
  LoadSettings(dir / "none.ini", loaded);
  EXPECT_EQ(loaded.InputFileName, "");
  EXPECT_EQ(loaded.OutputFileName, "");
  loaded = Names("x", "y");
  LoadSettings(dir.str(), loaded);  // a folder
  EXPECT_EQ(loaded.InputFileName, "");
  test::WriteText(dir / "other.ini", "[Other]\nInName=/no\n");
  LoadSettings(dir / "other.ini", loaded);
  EXPECT_EQ(loaded.InputFileName, "");
}

TEST(Settings, EditedByHandAndKeptOnSave) {
  TempDir dir;
  const std::string file = dir / "mirava.ini";
  test::WriteText(file,
                  "; my settings\r\n[names]\r\n  inname = /hand/in.ers  \r\n"
                  "# old: /x\r\nOutName=\r\n\r\n[Window]\r\nLeft=10\r\n");
  TJobSettings loaded;
  LoadSettings(file, loaded);
  EXPECT_EQ(loaded.InputFileName, "/hand/in.ers");
  EXPECT_EQ(loaded.OutputFileName, "");

  ASSERT_EQ(SaveSettings(file, Names("/new/in.ers", "/new/out.ers")).Text, "");
  const std::string text = test::ReadText(file);
  EXPECT_EQ(text,
            "; my settings\n[names]\nInName=/new/in.ers\n# old: /x\n"
            "OutName=/new/out.ers\n\n[Window]\nLeft=10\n\n"
            "[Jpeg]\nQuality=100\nSubsampling=444\n");
}

TEST(Settings, KeyAddedToItsSection) {
  TempDir dir;
  const std::string file = dir / "mirava.ini";
  test::WriteText(file, "[Names]\nInName=/in\n\n[Window]\nLeft=10\n");
  TIniFile ini(file);
  ini.WriteString("Names", "OutName", "/out");
  ini.WriteString("Window", "Top", "5");
  ASSERT_FALSE(ini.UpdateFile().Failed());
  EXPECT_EQ(test::ReadText(file),
            "[Names]\nInName=/in\nOutName=/out\n\n[Window]\nLeft=10\nTop=5\n");
}

TEST(Settings, LineBreakInNameDoesNotSplitTheFile) {
  TempDir dir;
  const std::string file = dir / "mirava.ini";
  ASSERT_EQ(SaveSettings(file, Names("/a/in.ers", "/b/out.ers")).Text, "");
  ASSERT_EQ(SaveSettings(file, Names("/a/two\nlines.ers", "/b/out.ers")).Text, "");
  TJobSettings loaded;
  LoadSettings(file, loaded);
  EXPECT_EQ(loaded.InputFileName, "");
  EXPECT_EQ(loaded.OutputFileName, "/b/out.ers");
  EXPECT_EQ(test::ReadText(file),
            "[Names]\nOutName=/b/out.ers\n\n[Jpeg]\nQuality=100\nSubsampling=444\n");
}

TEST(Settings, SaveFailureIsReported) {
  TempDir dir;
  test::WriteText(dir / "file", "x");
  const TError error = SaveSettings(dir / "file/mirava.ini", Names("a", "b"));
  EXPECT_EQ(error.SystemError, ENOTDIR);
  EXPECT_NE(error.Text.find("Settings not saved in "), std::string::npos) << error.Text;
  EXPECT_NE(error.Text.find("Not a directory"), std::string::npos) << error.Text;
}

TEST(Settings, SavedInTheUserFolderWhenTheProgramFolderIsNotWritable) {
  TempDir dir;
  EXPECT_EQ(SettingsFileName(dir / "mirava"), dir / "mirava.ini");

  // A folder nobody can write to, even root: a path through a plain file.
  test::WriteText(dir / "plain", "x");
  const std::string locked = dir / "plain/mirava";
  {
    TEnvironment config("XDG_CONFIG_HOME", (dir / "config").c_str());
    const std::string file = SettingsFileName(locked);
    EXPECT_EQ(file, dir / "config/mirava/mirava.ini");
    ASSERT_EQ(SaveSettings(file, Names("/in.ers", "/out.ers")).Text, "");
    TJobSettings loaded;
    LoadSettings(SettingsFileName(locked), loaded);
    EXPECT_EQ(loaded.InputFileName, "/in.ers");
  }
  {
    TEnvironment config("XDG_CONFIG_HOME", "relative/is/ignored");
    TEnvironment home("HOME", (dir / "home").c_str());
    EXPECT_EQ(SettingsFileName(locked), dir / "home/.config/mirava/mirava.ini");
  }
}

TEST(Settings, HelpAndExecutableNames) {
  EXPECT_EQ(HelpFileName("/opt/mirava/bin/mirava"), "/opt/mirava/bin/mirava.html");
  const std::string self = ExecutablePath("fallback");
  EXPECT_EQ(self.substr(self.rfind('/') + 1), "mirava_tests");
}

// Laid out as `cmake --install --prefix P` lays it out: P/bin/mirava and
// P/share/doc/mirava/mirava.html.
TEST(Settings, InstalledProgramUsesItsPrefixAndTheUserFolder) {
  TempDir dir;
  const std::string program = dir / "bin/mirava";
  std::filesystem::create_directories(dir / "bin");
  std::filesystem::create_directories(dir / "share/doc/mirava");
  test::WriteText(dir / "share/doc/mirava/mirava.html", "<html></html>");
  TEnvironment config("XDG_CONFIG_HOME", (dir / "config").c_str());

  EXPECT_EQ(HelpFileName(program), dir / "share/doc/mirava/mirava.html");
  // The bin folder can be written (as by root), yet nothing goes there.
  EXPECT_EQ(SettingsFileName(program), dir / "config/mirava/mirava.ini");

  // A page beside the program makes it a build folder again.
  test::WriteText(dir / "bin/mirava.html", "<html></html>");
  EXPECT_EQ(HelpFileName(program), dir / "bin/mirava.html");
  EXPECT_EQ(SettingsFileName(program), dir / "bin/mirava.ini");
}
