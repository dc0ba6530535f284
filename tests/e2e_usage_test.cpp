// Help and version, asked for as a user would.

#include <regex>

#include "e2e_support.h"

namespace {

// The help and the version are text for a terminal: every line ends with a
// bare LF, as Unix tools' lines do.
void ExpectLfLines(const Bytes& out) {
  ASSERT_GE(out.size(), 1u);
  EXPECT_EQ(out.back(), '\n');
  EXPECT_EQ(out.find('\r'), Bytes::npos);
}

// A copy of the program beside a log: a run that harvested anything (the
// program's own directory, say) would consume it.
TEST_F(EndToEnd, HelpAndVersionAnswerAndTouchNothing) {
  const Bytes program = CopyProgram(Program(), Root());
  AddLog(Root(), "a", " x");
  RunOptions options;
  options.cwd = Root();
  for (const std::vector<Bytes>& arguments :
       std::vector<std::vector<Bytes>>{{"--help"}, {"--help", "-F"}, {"--version"}, {"--version", Root()}}) {
    const RunResult result = RunProgram(program, arguments, options);
    EXPECT_EQ(result.exit_code, 0) << arguments[0];
    EXPECT_EQ(result.err, "");
    ExpectLfLines(result.out);
    if (arguments[0] == "--help") {
      EXPECT_EQ(result.out.find("logharvest "), 0u);
      EXPECT_NE(result.out.find("\nUsage: logharvest [DIRECTORY | FILE] [-F]\n"), Bytes::npos);
      EXPECT_NE(result.out.find("to_bbs"), Bytes::npos);
    } else {
      EXPECT_TRUE(std::regex_match(result.out, std::regex("logharvest [0-9]+\\.[0-9]+\\.[0-9]+\n"))) << result.out;
    }
  }
  EXPECT_TRUE(Exists(At("a.log")));
  EXPECT_FALSE(Exists(At(kNewListName)));
}

// A directory named like an option is reached with a directory part only.
TEST_F(EndToEnd, OptionNamedLikeADirectoryIsTheOption) {
  MakeDirectory(At("--help"));
  AddLog(At("--help/"), "a", " x");
  RunOptions options;
  options.cwd = Root();
  EXPECT_NE(Run({"--help"}, options).out.find("Usage:"), Bytes::npos);
  EXPECT_TRUE(Exists(At("--help/a.log")));
}

TEST_F(EndToEnd, SlashQuestionMarkIsAPathOnPosix) {
  const RunResult result = Run({"/?"});
  EXPECT_EQ(result.exit_code, 0);
  EXPECT_EQ(result.out, "Error: Directory [/?] not found!\r\n");
}

TEST_F(EndToEnd, HelpThatCannotBeWrittenEndsWithCode1) {
  RunOptions options;
  options.output = Output::kDevFull;
  const RunResult result = Run({"--help"}, options);
  EXPECT_EQ(result.exit_code, 1);
  EXPECT_EQ(result.err, "");
}

}  // namespace
