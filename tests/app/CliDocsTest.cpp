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

// The switches --help names: "--long" ones and one-letter "-x" ones.
std::set<std::string> SwitchesOfHelp() {
  const test::CommandResult help = test::RunCli({"--help"});
  EXPECT_EQ(help.ExitCode, 0);
  std::set<std::string> switches;
  const std::regex pattern(R"((^|[\s\[(|])(--[a-z][a-z-]*|-[a-z])\b)");
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
    const std::regex word("(^|[^a-z-])" + s + "([^a-z-]|$)");
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
