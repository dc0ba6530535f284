#include <algorithm>
#include <cstdio>

#include "simulation_world.h"

namespace sim {
namespace {

const Char kLetterA{"\xE0", "\xA0", "\xD0\xB0"};  // а
const Char kLetterO{"\xCE", "\x8E", "\xD0\x9E"};  // О
const Char kLetterF{"\xF4", "\xE4", "\xD1\x84"};  // ф
const Char kLetterSmallO{"\xEE", "\xAE", "\xD0\xBE"};
const Char kLetterT{"\xF2", "\xE2", "\xD1\x82"};
const Char kLetterCh{"\xF7", "\xE7", "\xD1\x87"};
const Char kLetterYo{"\xB8", "\xF1", "\xD1\x91"};  // ё
const Char kLetterCapitalYo{"\xA8", "\xF0", "\xD0\x81"};
const Char kLetterTs{"\xF6", "\xE6", "\xD1\x86"};
const Char kLetterE{"\xE5", "\xA5", "\xD0\xB5"};
const Char kLetterN{"\xED", "\xAD", "\xD0\xBD"};
const Char kNumero{"\xB9", "\xFC", "\xE2\x84\x96"};
const Char kEuro{"\x88", "", "\xE2\x82\xAC"};
const Char kCommentChars[] = {{"a", "a", "a"}, {"b", "b", "b"},  {" ", " ", " "}, kLetterA, kLetterO,
                              kLetterYo,       kLetterCapitalYo, kNumero,         kEuro,    {"z", "z", "z"}};

Char Ascii(char c) { return Char{Bytes(1, c), Bytes(1, c), Bytes(1, c)}; }

std::vector<Char> Text(const char* ascii_before, std::vector<Char> middle, const char* ascii_after) {
  std::vector<Char> chars;
  for (const char* c = ascii_before; *c != 0; ++c) chars.push_back(Ascii(*c));
  chars.insert(chars.end(), middle.begin(), middle.end());
  for (const char* c = ascii_after; *c != 0; ++c) chars.push_back(Ascii(*c));
  return chars;
}

}  // namespace

std::string Shown(ByteView bytes, std::size_t most) {
  std::string shown;
  for (const char c : bytes.substr(0, most)) {
    if (c >= 0x20 && c < 0x7F) {
      shown += c;
    } else {
      char hex[8];
      std::snprintf(hex, sizeof hex, "\\x%02X", static_cast<unsigned char>(c));
      shown += hex;
    }
  }
  return bytes.size() > most ? shown + "..." : shown;
}

std::vector<Name> Names() {
  return {
      {Text("a.zip", {}, ""), "", false},
      {Text("b c.rar", {}, ""), "", false},
      {Text("x.zip", {}, ""), "", false},
      {Text("X.ZIP", {}, ""), "", true},  // the same file as x.zip where case does not count
      {Text("", {kLetterF, kLetterSmallO, kLetterT, kLetterSmallO}, ".rar"), "", false},
      {Text("", {kLetterO, kLetterT, kLetterCh, kLetterYo, kLetterT}, " 2025.zip"), "", false},
      {Text("", {kLetterF}, ".zip"), "", false},
      {{}, "\xE4.zip", true},      // not UTF-8: its bytes are those of ф.zip in code page 866
      {{}, "\xC1\xA1.zip", true},  // an overlong form of "a": not UTF-8, never a.zip
      {Text("", {kLetterTs, kLetterE, kLetterN, kLetterA, kEuro}, ".zip"), "", false},
      {Text("say \"hi\".zip", {}, ""), "", false},
  };
}

Bytes Join(const std::vector<Char>& chars, Bytes Char::*field) {
  Bytes bytes;
  for (const Char& c : chars) bytes += c.*field;
  return bytes;
}

bool AllIn866(const std::vector<Char>& chars) {
  return std::all_of(chars.begin(), chars.end(), [](const Char& c) { return !c.cp866.empty(); });
}

const std::vector<Char>& CommentChars() {
  static const std::vector<Char> chars(std::begin(kCommentChars), std::end(kCommentChars));
  return chars;
}

}  // namespace sim
