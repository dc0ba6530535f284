#include "logcomment/code_page.h"

namespace {

struct Table {
  unsigned char to_866[256];
  constexpr Table() : to_866() {
    for (int b = 0; b < 256; ++b) {
      int out = b;
      if (b >= 0xC0 && b <= 0xEF) {
        out = b - 0x40;  // А..Я, а..п
      } else if (b >= 0xF0) {
        out = b - 0x10;  // р..я
      }
      to_866[b] = static_cast<unsigned char>(out);
    }
  }
};

constexpr Table kTable;

}  // namespace

void ToDosCyrillicInPlace(Bytes& text) {
  for (char& c : text) c = static_cast<char>(kTable.to_866[static_cast<unsigned char>(c)]);
}

Bytes ToDosCyrillic(ByteView text) {
  Bytes result(text);
  ToDosCyrillicInPlace(result);
  return result;
}
