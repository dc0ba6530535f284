#include "logcomment/log_comment.h"

#include <gtest/gtest.h>

#include <string>

#include "common/exception.h"
#include "common/io_result.h"
#include "fault_platform.h"
#include "memory_world.h"
#include "test_support.h"

namespace {

Bytes CommentOf(const Bytes& content, ListEncoding encoding = ListEncoding::kDosCyrillic) {
  MemoryWorld world;
  ScopedPlatform use(world);
  world.Write(world / "a.log", content);
  const LogComment comment = ReadLogComment(world / "a.log", encoding);
  EXPECT_EQ(comment.open_error, 0);
  EXPECT_EQ(comment.identity.size, static_cast<std::int64_t>(content.size()));
  return comment.description;
}

TEST(ReadLogComment, WorkedExampleIsConvertedWithItsLeadingBlank) {
  // " Отчёт": ё is F1 in code page 866.
  EXPECT_EQ(CommentOf(LogWithComment("\x20\xCE\xF2\xF7\xB8\xF2")), "\x20\x8E\xE2\xE7\xF1\xE2");
  // For a UTF-8 list: " Отчёт №1" in UTF-8.
  EXPECT_EQ(CommentOf(LogWithComment("\x20\xCE\xF2\xF7\xB8\xF2 \xB9\x31"), ListEncoding::kUtf8),
            " \xD0\x9E\xD1\x82\xD1\x87\xD1\x91\xD1\x82 \xE2\x84\x96\x31");
}

TEST(ReadLogComment, NoCommentLineGivesAnEmptyDescription) {
  EXPECT_EQ(CommentOf(""), "");
  EXPECT_EQ(CommentOf("just a line\r\nanother\r\n"), "");
  // A leading blank, or the first letter in lower case: not a comment line.
  EXPECT_EQ(CommentOf(" " + kPrefix + " x\r\n"), "");
  EXPECT_EQ(CommentOf("\xEA" + kPrefix.substr(1) + " x\r\n"), "");
  // The prefix cut short by the line end.
  EXPECT_EQ(CommentOf(kPrefix.substr(0, 11) + "\r\n:" + " x\r\n"), "");
}

TEST(ReadLogComment, TheLastCommentLineWinsEvenWhenEmpty) {
  EXPECT_EQ(CommentOf(kPrefix + " one\r\n" + kPrefix + " two\r\n"), " two");
  EXPECT_EQ(CommentOf(kPrefix + " one\r\n" + kPrefix + "\r\nend\r\n"), "");
  EXPECT_EQ(CommentOf(kPrefix + " one\r\n" + kPrefix), "");
}

TEST(ReadLogComment, TheRestOfTheLineIsTakenUnchangedButForCarriageReturns) {
  EXPECT_EQ(CommentOf(kPrefix + "  a b \t \r\n"), "  a b \t ");
  EXPECT_EQ(CommentOf(kPrefix + "ab\rcd\r\n"), "abcd");
  // A CR inside the prefix is dropped before the prefix is compared.
  EXPECT_EQ(CommentOf(kPrefix.substr(0, 5) + "\r" + kPrefix.substr(5) + "x\n"), "x");
  // Only LF line ends, and a last line without one, give the same.
  EXPECT_EQ(CommentOf("a\n" + kPrefix + " \xCE\n"), " \x8E");
  EXPECT_EQ(CommentOf("a\n" + kPrefix + " \xCE"), " \x8E");
}

TEST(ReadLogComment, EndOfFileMarkHidesWhatFollows) {
  EXPECT_EQ(CommentOf("\x1A" + kPrefix + " x\r\n"), "");
  EXPECT_EQ(CommentOf(kPrefix + " ab\x1A"
                                "cd\r\n"),
            " ab");
}

TEST(ReadLogComment, CommentLinesUpToTheCapAreTakenWholeLongerOnesCannotBeRead) {
  const Bytes text(300, 'w');
  EXPECT_EQ(CommentOf(kPrefix + text + "\r\n"), text);
  const Bytes most(kMaxCommentBytes, '\xE0');
  EXPECT_EQ(CommentOf(kPrefix + most), Bytes(most.size(), '\xA0'));
  EXPECT_EQ(CommentOf(kPrefix + most + "\r\nSize: 1\r\n"), Bytes(most.size(), '\xA0'));
  // One byte over, with or without a line end, and an earlier comment line
  // over the cap too: the log is one that cannot be read.
  for (const Bytes& content : {kPrefix + most + "w", kPrefix + most + "w\r\n" + kPrefix + " short\r\n"}) {
    MemoryWorld world;
    ScopedPlatform use(world);
    world.Write(world / "a.log", content);
    const LogComment comment = ReadLogComment(world / "a.log", ListEncoding::kDosCyrillic);
    EXPECT_EQ(comment.open_error, kErrorFileTooLarge);
    EXPECT_EQ(comment.description, "        error reading file");
    EXPECT_EQ(IoResult(), 0);
    EXPECT_EQ(world.open_files, 0);
  }
}

TEST(ReadLogComment, CommentLinesAreFoundAmongManyOrdinaryLines) {
  // Lines that start like the prefix but are not comment lines, and enough
  // lines to fill the read buffer several times over.
  Bytes ordinary;
  for (int i = 0; i < 5000; ++i) {
    ordinary += (i % 3 == 0 ? kPrefix.substr(0, 1 + i % 11) : Bytes("line ")) + std::to_string(i) + "\r\n";
  }
  EXPECT_EQ(CommentOf(ordinary + kPrefix + " \xCE\r\n" + ordinary), " \x8E");
  EXPECT_EQ(CommentOf(kPrefix + " one\r\n" + ordinary + "\r" + kPrefix + " two\r\n" + ordinary), " two");
  EXPECT_EQ(CommentOf(ordinary + kPrefix + " last"), " last");
}

TEST(ReadLogComment, LogThatCannotBeOpenedGivesTheErrorTextWithoutRaising) {
  MemoryWorld world;
  ScopedPlatform use(world);
  LogComment comment = ReadLogComment(world / "missing.log", ListEncoding::kDosCyrillic);
  EXPECT_EQ(comment.description, "        error reading file");
  EXPECT_EQ(comment.open_error, 2);
  comment = ReadLogComment(world.Root(), ListEncoding::kUtf8);
  EXPECT_EQ(comment.description, "        error reading file");
  EXPECT_EQ(comment.open_error, 5);
  EXPECT_EQ(IoResult(), 0);
}

TEST(ReadLogComment, ReadFailureAfterTheOpenRaisesAndReleasesTheLog) {
  MemoryWorld world;
  world.Write(world / "a.log", LogWithComment(" x"));
  FaultPlatform platform(world);
  ScopedPlatform use(platform);
  platform.fail_at = 3;  // the open, its identity, then the first read
  platform.fail_code = 1117;
  try {
    ReadLogComment(world / "a.log", ListEncoding::kDosCyrillic);
    FAIL() << "no failure raised";
  } catch (const EInOutError& failure) {
    EXPECT_EQ(failure.Code(), 1117);
  }
  EXPECT_EQ(platform.open_files, 0);
}

}  // namespace
