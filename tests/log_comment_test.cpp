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
  // A log without holes costs no question about them.
  EXPECT_EQ(world.data_range_calls, 0);
  return comment.description;
}

constexpr std::int64_t kTebibyte = std::int64_t{1} << 40;
using Pieces = std::vector<MemoryWorld::DataThenHole>;

// A log of data and holes read in a world of its own: the comment, and
// whether the reading took no more than the log's data, every byte once at
// most, and never a hole's.
struct HoledRead {
  LogComment comment;
  bool read_data_only = false;
};
HoledRead ReadHoled(const Pieces& pieces, ListEncoding encoding) {
  MemoryWorld world;
  ScopedPlatform use(world);
  world.WriteWithHoles(world / "a.log", pieces);
  std::int64_t data = 0;
  std::int64_t size = 0;
  for (const auto& piece : pieces) {
    data += static_cast<std::int64_t>(piece.data.size());
    size += static_cast<std::int64_t>(piece.data.size()) + piece.hole;
  }
  HoledRead read;
  read.comment = ReadLogComment(world / "a.log", encoding);
  read.read_data_only = world.bytes_read <= data;
  EXPECT_EQ(read.comment.identity.size, size);
  EXPECT_TRUE(read.comment.identity.may_have_holes);
  EXPECT_EQ(world.open_files, 0);
  EXPECT_EQ(IoResult(), 0);
  return read;
}

// UTF-8 text in UTF-16 without the byte order mark: what follows a hole.
Bytes Utf16(ByteView utf8, bool big_endian) { return Utf16WithMark(utf8, big_endian).substr(2); }

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

// A hole's bytes are zero bytes, never read: no line end, no CR and no mark
// (in UTF-16, a unit of zero is an ordinary one). A line that begins in a
// hole is no comment line; one that runs into a hole has its zeros, and
// over the cap it is a comment over the cap; a comment line after a hole
// still wins. The description in code page 866 and in UTF-8, or the error.
TEST(ReadLogComment, HolesAreZerosThatAreNeverRead) {
  const Bytes z(16, '\0');
  const Bytes cap_zeros(kMaxCommentBytes, '\0');
  const auto le = [](ByteView utf8) { return Utf16WithMark(utf8, false); };
  const auto be = [](ByteView utf8) { return Utf16WithMark(utf8, true); };
  struct Row {
    const char* what;
    Pieces pieces;
    Bytes dos, utf8;
    int error = 0;
  };
  const std::vector<Row> rows = {
      {"a comment line after a vast hole wins",
       {{kPrefix + " before", kTebibyte}, {"\r\n" + kPrefix + " after\r\n", 0}},
       " after",
       " after"},
      {"a line that begins in a hole is no comment line",
       {{LogWithComment(" real"), 4096}, {kPrefix + " not one\r\n", 0}},
       " real",
       " real"},
      {"nor at the log's start", {{"", 4096}, {kPrefix + " not one\r\n", 0}}, "", ""},
      {"a comment line runs on through a hole",
       {{kPrefix + " ab", 5}, {"cd\r\nSize: 1\r\n", 0}},
       " ab" + z.substr(0, 5) + "cd",
       " ab" + z.substr(0, 5) + "cd"},
      {"a CR before the hole is dropped",
       {{kPrefix + " a\r", 2}, {"b\r\n", 0}},
       " a" + z.substr(0, 2) + "b",
       " a" + z.substr(0, 2) + "b"},
      {"the mark after a hole ends the log",
       {{kPrefix + " a", 2}, {"\x1A\r\n" + kPrefix + " hidden\r\n", 0}},
       " a" + z.substr(0, 2),
       " a" + z.substr(0, 2)},
      {"zeros up to the cap", {{kPrefix, static_cast<std::int64_t>(kMaxCommentBytes)}}, cap_zeros, cap_zeros},
      {"UTF-8 after its mark",
       {{"\xEF\xBB\xBFКомментарий: x", 3}, {"y\n", 0}},
       " x" + z.substr(0, 3) + "y",
       " x" + z.substr(0, 3) + "y"},
      {"a hole where a byte order mark would end", {{"\xEF", 2}, {"\n" + kPrefix + " w\r\n", 0}}, " w", " w"},
      {"a comment line into a vast hole", {{kPrefix + " ab", kTebibyte}}, "", "", kErrorFileTooLarge},
      {"one zero over the cap",
       {{kPrefix, static_cast<std::int64_t>(kMaxCommentBytes) + 1}},
       "",
       "",
       kErrorFileTooLarge},
      {"the last comment line into a vast hole, after a short one",
       {{LogWithComment(" short") + kPrefix + " a", kTebibyte}, {"\r\n", 0}},
       "",
       "",
       kErrorFileTooLarge},
      // UTF-16: Ѐ, U+0400, is 00 04 little endian; code page 866 lacks it.
      {"UTF-16, a hole at an even offset",
       {{le("Комментарий: ab"), 4}, {Utf16("cd\n", false), 0}},
       " ab" + z.substr(0, 2) + "cd",
       " ab" + z.substr(0, 2) + "cd"},
      {"UTF-16 LE, a hole from an odd offset to an odd one",
       {{le("Комментарий: a") + "b", 2}, {"\x04" + Utf16("c\n", false), 0}},
       " ab?c",
       " ab\xD0\x80"
       "c"},
      {"UTF-16 BE, the same",
       {{be("Комментарий: a") + "\x04", 2}, {"b" + Utf16("c\n", true), 0}},
       " a?bc",
       " a\xD0\x80"
       "bc"},
      {"UTF-16, a hole from an odd offset to an even one",
       {{le("Комментарий: a") + "b", 3}, {Utf16("c\n", false), 0}},
       " ab" + z.substr(0, 1) + "c",
       " ab" + z.substr(0, 1) + "c"},
      {"UTF-16, the zero byte of the unit 26 in a hole",
       {{le("Комментарий: a") + "\x1A", 1}, {Utf16("b\n", false), 0}},
       " a",
       " a"},
      {"UTF-16, a high surrogate before a hole",
       {{le("Комментарий: a") + "\x3D\xD8", 2}, {Utf16("\n", false), 0}},
       " a?" + z.substr(0, 1),
       " a\xEF\xBF\xBD" + z.substr(0, 1)},
      {"UTF-16, an odd zero left at the end",
       {{le("Комментарий: a"), 3}},
       " a" + z.substr(0, 1),
       " a" + z.substr(0, 1)},
      {"UTF-16, a line that begins in a hole",
       {{le("Комментарий: real\n"), 2}, {Utf16("Комментарий: not\n", false), 0}},
       " real",
       " real"},
      {"UTF-16, after a vast hole",
       {{le("Комментарий: before"), kTebibyte}, {Utf16("\nКомментарий: after\n", false), 0}},
       " after",
       " after"},
      {"UTF-16, zeros up to the cap",
       {{le("Комментарий:"), static_cast<std::int64_t>(kMaxCommentBytes)}},
       cap_zeros.substr(0, kMaxCommentBytes / 2),
       cap_zeros.substr(0, kMaxCommentBytes / 2)},
      {"UTF-16, a unit over the cap",
       {{le("Комментарий:"), static_cast<std::int64_t>(kMaxCommentBytes) + 2}},
       "",
       "",
       kErrorFileTooLarge},
      {"UTF-16, into a vast hole", {{be("Комментарий: a"), kTebibyte}}, "", "", kErrorFileTooLarge},
  };
  for (const Row& row : rows) {
    for (const ListEncoding encoding : {ListEncoding::kDosCyrillic, ListEncoding::kUtf8}) {
      const HoledRead read = ReadHoled(row.pieces, encoding);
      EXPECT_EQ(read.comment.open_error, row.error) << row.what;
      EXPECT_EQ(read.comment.description, row.error != 0                    ? Bytes(kErrorReadingFile)
                                          : encoding == ListEncoding::kUtf8 ? row.utf8
                                                                            : row.dos)
          << row.what;
      EXPECT_TRUE(read.read_data_only) << row.what;
    }
  }
}

// A comment line into a hole in every block: each is superseded, and only
// the last one's zeros are ever made.
TEST(ReadLogComment, ManyCommentLinesIntoHolesCostNoMoreThanTheirData) {
  Pieces pieces;
  for (int i = 0; i < 4096; ++i) {
    pieces.push_back({"\n" + kPrefix + " n" + std::to_string(i), i % 2 == 0 ? 1000 : kTebibyte});
  }
  pieces.push_back({"\n" + kPrefix + " last", 3});
  pieces.push_back({"!\r\n", 0});
  for (const ListEncoding encoding : {ListEncoding::kDosCyrillic, ListEncoding::kUtf8}) {
    const HoledRead read = ReadHoled(pieces, encoding);
    EXPECT_EQ(read.comment.description, Bytes(" last\0\0\0!", 9));
    EXPECT_TRUE(read.read_data_only);
  }
}

// A failed question about the data: the rest is read as it stands, from
// where the reading was, and the comment is the one the log holds.
TEST(ReadLogComment, AFailedDataRangeFallsBackToReading) {
  MemoryWorld world;
  world.WriteWithHoles(world / "a.log", {{kPrefix + " before", 3 << 20}, {"\r\n" + kPrefix + " after\r\n", 0}});
  int failed = 0;
  for (long k = 1;; ++k) {
    FaultPlatform platform(world);
    ScopedPlatform use(platform);
    platform.fail_at = k;
    platform.fail_code = kErrorNativeBase + 5;
    LogComment comment;
    try {
      comment = ReadLogComment(world / "a.log", ListEncoding::kDosCyrillic);
    } catch (const EInOutError&) {
      EXPECT_STRNE(platform.failed_operation, "DataRange");
    }
    TakeIoResult();
    EXPECT_EQ(platform.open_files, 0);
    if (!platform.failed) break;
    if (std::string(platform.failed_operation) != "DataRange") continue;
    ++failed;
    EXPECT_EQ(comment.open_error, 0) << "call " << k;
    EXPECT_EQ(comment.description, " after") << "call " << k;
  }
  // The questions at the first data, and after it.
  EXPECT_EQ(failed, 2);
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
