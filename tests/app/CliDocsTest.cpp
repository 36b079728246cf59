// The installed man page and bash completion against what mirava-cli
// accepts, so that a new switch cannot be left out of them.
#include <gtest/gtest.h>

#include <regex>
#include <set>
#include <string>

#include "../TestUtil.h"

using namespace mirava;

namespace {

// The switches --help names: "--long" ones and one-letter "-x" ones.
std::set<std::string> SwitchesOfHelp() {
  const test::CommandResult help = test::RunCli({"--help"});
  EXPECT_EQ(help.ExitCode, 0);
  std::set<std::string> switches;
  const std::regex pattern(R"((^|[\s\[(|])(--[a-z][a-z-]*|-[a-z])\b)");
  for (std::sregex_iterator it(help.Output.begin(), help.Output.end(), pattern), end;
       it != end; ++it)
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
  const std::string manPage = Unescaped(test::ReadText(std::string(MIRAVA_DATA) + "/mirava-cli.1.in"));
  const std::string completion = test::ReadText(std::string(MIRAVA_DATA) + "/mirava-cli.bash");
  ASSERT_FALSE(manPage.empty());
  ASSERT_FALSE(completion.empty());
  for (const std::string& s : switches) {
    const std::regex word("(^|[^a-z-])" + s + "([^a-z-]|$)");
    EXPECT_TRUE(std::regex_search(manPage, word)) << s << " is not in mirava-cli.1";
    EXPECT_TRUE(std::regex_search(completion, word)) << s << " is not completed";
  }
}
