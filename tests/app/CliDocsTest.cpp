// The installed man page and bash completion against what mirava-cli
// accepts, so that a new switch cannot be left out of them.
#include <gtest/gtest.h>

#include <regex>
#include <set>
#include <sstream>
#include <string>

#include "../TestUtil.h"
#include "dataset/DataSet.h"

using namespace mirava;

namespace {

// The switches --help names: "--long" ones, one-letter "-x" ones and
// GDAL's "-of", "-a_srs".
std::set<std::string> SwitchesOfHelp() {
  const test::CommandResult help = test::RunCli({"--help"});
  EXPECT_EQ(help.ExitCode, 0);
  std::set<std::string> switches;
  const std::regex pattern(R"((^|[\s\[(|,])(--[a-z][a-z-]*|-[a-z][a-z_]*)\b)");
  for (std::sregex_iterator it(help.Output.begin(), help.Output.end(), pattern), end; it != end;
       ++it)
    switches.insert((*it)[2]);
  return switches;
}

std::string Unescaped(std::string text) {
  return std::regex_replace(text, std::regex(R"(\\-)"), "-");
}

}  // namespace

TEST(CliDocs, ManPageAndCompletionNameEverySwitch) {
  const std::set<std::string> switches = SwitchesOfHelp();
  ASSERT_TRUE(switches.count("--help") && switches.count("--version"));
  const std::string manPage =
      Unescaped(test::ReadText(std::string(MIRAVA_DATA) + "/mirava-cli.1.in"));
  const std::string completion = test::ReadText(std::string(MIRAVA_DATA) + "/mirava-cli.bash");
  ASSERT_FALSE(manPage.empty());
  ASSERT_FALSE(completion.empty());
  for (const std::string& s : switches) {
    const std::regex word("(^|[^a-z-])" + s + "([^a-z_-]|$)");
    EXPECT_TRUE(std::regex_search(manPage, word)) << s << " is not in mirava-cli.1";
    EXPECT_TRUE(std::regex_search(completion, word)) << s << " is not completed";
  }
}

// --formats comes from the format table: every format there is listed,
// with each of its extensions.
TEST(CliDocs, FormatsListEveryFormatOfTheTable) {
  const test::CommandResult formats = test::RunCli({"--formats"});
  ASSERT_EQ(formats.ExitCode, 0);
  ASSERT_GE(FormatEntries().size(), 11u);
  for (const TFormatEntry& entry : FormatEntries()) {
    EXPECT_NE(formats.Output.find(std::string(entry.Name) + " (" + entry.Extensions + ")"),
              std::string::npos)
        << entry.Name;
    std::istringstream extensions(entry.Extensions);
    for (std::string ext; extensions >> ext;)
      EXPECT_EQ(FormatFromExtension("x" + ext), entry.Code) << entry.Name << " " << ext;
  }
}

namespace {

// What the completion offers for `words` as bash splits a command line
// (at blanks and "="), the last one being completed, one a line; "nospace"
// first when no blank is to follow.
std::string Completed(const std::vector<std::string>& words) {
  std::string list;
  for (const std::string& w : words) list += " " + test::Quote(w);
  const std::string script =
      "compopt() { echo nospace; }; source " +
      test::Quote(std::string(MIRAVA_DATA) + "/mirava-cli.bash") +
      "; COMP_WORDBREAKS=$' \\t\\n\"\\'><=;|&(:'; COMP_WORDS=(" + list +
      "); COMP_CWORD=" + std::to_string(words.size() - 1) +
      "; _mirava_cli; printf '%s\\n' \"${COMPREPLY[@]}\"";
  const test::TempDir empty;
  return test::Run("cd " + test::Quote(empty.str()) + " && bash -c " + test::Quote(script))
      .Output;
}

}  // namespace

// Values follow "=" without a blank, and kinds, formats, -co keys and
// their words are offered.
TEST(CliDocs, CompletionOffersValuesAfterEquals) {
  EXPECT_EQ(Completed({"mirava-cli", "--mem"}), "nospace\n--memory=\n");
  EXPECT_EQ(Completed({"mirava-cli", "a.tif", "b.tif", "--memory", "="}), "nospace\n\n");
  EXPECT_EQ(Completed({"mirava-cli", "a.tif", "b.tif", "-co", "ZS"}), "nospace\nZSTD_LEVEL=\n");
  EXPECT_EQ(Completed({"mirava-cli", "a.tif", "b.tif", "-co", "COMPRESS", "="}),
            "NONE\nDEFLATE\nLZW\nZSTD\nLZMA\nPACKBITS\nJPEG\nWEBP\n");
  EXPECT_EQ(Completed({"mirava-cli", "a.tif", "b.tif", "-co", "BIGTIFF", "=", "IF"}),
            "IF_NEEDED\nIF_SAFER\n");
  EXPECT_EQ(Completed({"mirava-cli", "a.tif", "b.tif", "-co", "tiled", "=", "Y"}), "YES\n");
  EXPECT_EQ(Completed({"mirava-cli", "--jpeg-subsampling", "=", "42"}), "422\n420\n");
  EXPECT_EQ(Completed({"mirava-cli", "a.tif", "b.jpg", "-of", "j"}), "jpg\njp2\n");
  EXPECT_EQ(Completed({"mirava-cli", "-of", "G"}), "GTiff\n");
  EXPECT_EQ(Completed({"mirava-cli", "-of", "JP"}), "JPEG\nJP2OpenJPEG\n");
  EXPECT_EQ(Completed({"mirava-cli", "a.tif", "b.tif", "/"}), "/0\n/1\n/2\n/3\n/4\n/5\n/F\n");
  EXPECT_EQ(Completed({"mirava-cli", "a.tif", "b.tif", "-a_no"}), "-a_nodata\n");
}
