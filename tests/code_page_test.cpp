#include "logcomment/code_page.h"

#include <gtest/gtest.h>

namespace {

TEST(ToDosCyrillic, WorkedExampleKeepsLetterYoUnchanged) {
  EXPECT_EQ(ToDosCyrillic("\x20\xCE\xF2\xF7\xB8\xF2"), "\x20\x8E\xE2\xE7\xB8\xE2");
}

TEST(ToDosCyrillic, EveryByteMapsAsTheTableSays) {
  Bytes all;
  for (int b = 0; b < 256; ++b) all += static_cast<char>(b);
  const Bytes out = ToDosCyrillic(all);
  ASSERT_EQ(out.size(), 256u);
  for (int b = 0; b < 256; ++b) {
    const int got = static_cast<unsigned char>(out[static_cast<std::size_t>(b)]);
    if (b < 0xC0) {
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
