#include "logcomment/code_page.h"

#include <gtest/gtest.h>

#include <map>

namespace {

TEST(ToDosCyrillic, WorkedExampleGivesTheLetterYoItsPlace) {
  EXPECT_EQ(ToDosCyrillic("\x20\xCE\xF2\xF7\xB8\xF2"), "\x20\x8E\xE2\xE7\xF1\xE2");
}

TEST(ToDosCyrillic, EveryByteMapsAsTheTableSays) {
  Bytes all;
  for (int b = 0; b < 256; ++b) all += static_cast<char>(b);
  const Bytes out = ToDosCyrillic(all);
  ASSERT_EQ(out.size(), 256u);
  // Ё ё Ў ў Є є Ї ї № ° · ¤ and the no-break space, which code page 866
  // holds at other places than Windows-1251.
  const std::map<int, int> others = {{0xA8, 0xF0}, {0xB8, 0xF1}, {0xA1, 0xF6}, {0xA2, 0xF7}, {0xAA, 0xF2},
                                     {0xBA, 0xF3}, {0xAF, 0xF4}, {0xBF, 0xF5}, {0xB9, 0xFC}, {0xB0, 0xF8},
                                     {0xB7, 0xFA}, {0xA4, 0xFD}, {0xA0, 0xFF}};
  for (int b = 0; b < 256; ++b) {
    const int got = static_cast<unsigned char>(out[static_cast<std::size_t>(b)]);
    if (others.count(b) != 0) {
      EXPECT_EQ(got, others.at(b)) << "byte " << b;
    } else if (b < 0xC0) {
      EXPECT_EQ(got, b) << "byte " << b;
    } else if (b < 0xF0) {
      EXPECT_EQ(got, b - 0x40) << "byte " << b;
    } else {
      EXPECT_EQ(got, b - 0x10) << "byte " << b;
    }
  }
}

TEST(ToDosCyrillic, AlphabetLandsInCodePage866Order) {
  // Capital А..Я are 0x80..0x9F in code page 866, small а..п 0xA0..0xAF and
  // р..я 0xE0..0xEF: the 64 letters keep their alphabetical order.
  Bytes letters;
  for (int b = 0xC0; b <= 0xFF; ++b) letters += static_cast<char>(b);
  const Bytes out = ToDosCyrillic(letters);
  Bytes expected;
  for (int b = 0x80; b <= 0xAF; ++b) expected += static_cast<char>(b);
  for (int b = 0xE0; b <= 0xEF; ++b) expected += static_cast<char>(b);
  EXPECT_EQ(out, expected);
}

}  // namespace
