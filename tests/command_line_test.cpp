#include "platform/command_line.h"

#include <gtest/gtest.h>

namespace {

using Args = std::vector<Bytes>;

TEST(SplitCommandLine, BlanksAndTabsSeparateArguments) {
  EXPECT_EQ(SplitCommandLine("prog.exe  C:\\in\\new\\\t-F"), (Args{"prog.exe", "C:\\in\\new\\", "-F"}));
  EXPECT_EQ(SplitCommandLine("   prog"), (Args{"prog"}));
  EXPECT_EQ(SplitCommandLine(""), Args{});
}

TEST(SplitCommandLine, QuotePairStandingAloneVanishesAndLaterArgumentsMoveDown) {
  EXPECT_EQ(SplitCommandLine("prog \"\" -F"), (Args{"prog", "-F"}));
  EXPECT_EQ(SplitCommandLine("prog \"\"\"\" x"), (Args{"prog", "x"}));
}

TEST(SplitCommandLine, QuotedStretchesKeepBlanksAndNeverCopyQuotes) {
  EXPECT_EQ(SplitCommandLine("prog \"C:\\my dir\\\" -f"), (Args{"prog", "C:\\my dir\\", "-f"}));
  EXPECT_EQ(SplitCommandLine("prog C:\\\"my dir\"\\x y"), (Args{"prog", "C:\\my dir\\x", "y"}));
  EXPECT_EQ(SplitCommandLine("prog a\"\"b"), (Args{"prog", "ab"}));
}

TEST(SplitCommandLine, UnterminatedQuoteRunsToTheEnd) {
  EXPECT_EQ(SplitCommandLine("prog \"a b\tc"), (Args{"prog", "a b\tc"}));
}

TEST(SplitCommandLine, BackslashBeforeQuoteDoesNotEscape) {
  EXPECT_EQ(SplitCommandLine("prog \"C:\\in\\\" -F"), (Args{"prog", "C:\\in\\", "-F"}));
  EXPECT_EQ(SplitCommandLine("prog a\\\"b c\""), (Args{"prog", "a\\b c"}));
}

TEST(SplitCommandLine, HighBytesAreOrdinaryAndControlBytesSeparate) {
  EXPECT_EQ(SplitCommandLine("prog \xCF\xF0\xE8\xE2\xE5\xF2\x01x"), (Args{"prog", "\xCF\xF0\xE8\xE2\xE5\xF2", "x"}));
  // A NUL ends the line.
  EXPECT_EQ(SplitCommandLine(ByteView("prog a\0b", 8)), (Args{"prog", "a"}));
}

TEST(SplitCommandLine, DoubleByteCharactersMoveAsOne) {
  // A lead byte 0x81 takes the next byte with it, even a blank or a quote.
  auto next = [](ByteView line, std::size_t i) -> std::size_t {
    return static_cast<unsigned char>(line[i]) == 0x81 ? i + 2 : i + 1;
  };
  EXPECT_EQ(SplitCommandLine("prog a\x81\"b c", next), (Args{"prog", "a\x81\"b", "c"}));
  // A lead byte at the very end does not run past the line.
  EXPECT_EQ(SplitCommandLine("prog a\x81", next), (Args{"prog", "a\x81"}));
}

}  // namespace
