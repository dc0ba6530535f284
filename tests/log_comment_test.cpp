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
  // Only the last comment line counts: an earlier one over the cap is
  // passed over, however long.
  EXPECT_EQ(CommentOf(kPrefix + most + "w\r\n" + kPrefix + " short\r\n"), " short");
  EXPECT_EQ(CommentOf(kPrefix + most + most + "\r\nx\r\n" + kPrefix + "\r\n"), "");
  // The last one over the cap by a byte, with or without a line end, after a
  // short one too: the log is one that cannot be read.
  for (const Bytes& content : {kPrefix + most + "w", kPrefix + " short\r\n" + kPrefix + most + "w\r\n"}) {
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

// One table for the encodings a log is read in: what each gives a list in
// code page 866 and a list in UTF-8. The prefix's first letter, U+041A, is
// the bytes 1A 04 in UTF-16 LE: byte 26 is no mark there.
TEST(ReadLogComment, EveryEncodingOfALogGivesTheSameComment) {
  const Bytes privet = " \x8F\xE0\xA8\xA2\xA5\xE2";  // " Привет" in code page 866
  const Bytes log = "Автор: Иван\r\nКомментарий: Привет\r\nРазмер: 1\r\n";
  const Bytes bom = "\xEF\xBB\xBF";
  struct Row {
    const char* what;
    Bytes log, dos, utf8;
  };
  const std::vector<Row> rows = {
      {"UTF-8", log, privet, " Привет"},
      {"UTF-8 with its mark", bom + log, privet, " Привет"},
      {"UTF-8 with its mark on the comment line", bom + "Комментарий: Привет", privet, " Привет"},
      {"UTF-16 LE", Utf16WithMark(log, false), privet, " Привет"},
      {"UTF-16 BE", Utf16WithMark(log, true), privet, " Привет"},
      {"LF alone, no last line end", Utf16WithMark("a\nКомментарий: Привет", false), privet, " Привет"},
      {"what code page 866 lacks", bom + "Комментарий: €5 😀 ё\r\n", " ?5 ? \xF1", " €5 😀 ё"},
      {"in UTF-16 too", Utf16WithMark("Комментарий: €5 😀 ё\r\n", true), " ?5 ? \xF1", " €5 😀 ё"},
      {"bytes that are no UTF-8", "Комментарий: a\xFF\xD0", " a??", " a\xEF\xBF\xBD\xEF\xBF\xBD"},
      {"a lone surrogate", Utf16WithMark("Комментарий: a", false) + Bytes("\x00\xD8\x62\x00", 4), " a?b",
       " a\xEF\xBF\xBD"
       "b"},
      {"the last line wins: UTF-8 after Windows-1251", kPrefix + " old\r\nКомментарий: Привет\r\n", privet, " Привет"},
      {"the last line wins: Windows-1251 after UTF-8", "Комментарий: new\r\n" + kPrefix + " \xCF\r\n", " \x8F", " П"},
      {"Windows-1251 after a UTF-8 mark", bom + kPrefix + " \xCF\r\n", " \x8F", " П"},
      {"the mark in UTF-8",
       "Комментарий: a\x1A"
       "b\r\nКомментарий: c\r\n",
       " a", " a"},
      {"the mark in UTF-16",
       Utf16WithMark("Комментарий: a\x1A"
                     "b\r\nКомментарий: c\r\n",
                     false),
       " a", " a"},
      {"the mark before the comment", Utf16WithMark("\x1A\r\nКомментарий: c\r\n", true), "", ""},
      {"a prefix cut short", Utf16WithMark("Коммент\r\nарий: c\r\n", false), "", ""},
      {"an odd last byte", Utf16WithMark("Комментарий: c", false) + "\x41", " c", " c"},
  };
  for (const Row& row : rows) {
    EXPECT_EQ(CommentOf(row.log), row.dos) << row.what;
    EXPECT_EQ(CommentOf(row.log, ListEncoding::kUtf8), row.utf8) << row.what;
  }
  // Only the last comment line counts against the cap, in UTF-16 as well.
  const Bytes long_text(kMaxCommentBytes / 2 + 1, 'w');
  EXPECT_EQ(CommentOf(Utf16WithMark("Комментарий:" + long_text + "\nКомментарий: Привет", false)), privet);
  MemoryWorld world;
  ScopedPlatform use(world);
  world.Write(world / "a.log", Utf16WithMark("Комментарий:" + long_text, false));
  EXPECT_EQ(ReadLogComment(world / "a.log", ListEncoding::kUtf8).open_error, kErrorFileTooLarge);
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
