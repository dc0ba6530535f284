#pragma once

#include "common/bytes.h"

// The encodings a description list is written in: code page 866, or UTF-8
// for a list that begins with the UTF-8 byte order mark.
enum class ListEncoding { kDosCyrillic, kUtf8 };

// What a character that the list's code page lacks becomes: visible, and the
// same in every code page.
constexpr char kMissingCharacter = '?';
// What stands for a byte sequence that is no character in a UTF-8 list.
constexpr char32_t kReplacementCharacter = 0xFFFD;

// Converts Windows-1251 text to code page 866, byte for byte. Every character
// that code page 866 also holds moves to its place there: the letters А to я,
// Ё ё Ў ў Є є Ї ї, and №, °, ·, ¤ and the no-break space. Every other byte
// (ASCII, controls, and the rest of 0x80-0xBF) passes unchanged.
Bytes ToDosCyrillic(ByteView text);
void ToDosCyrillicInPlace(Bytes& text);

// Converts Windows-1251 text to UTF-8. Byte 0x98, which stands for no
// character, becomes U+FFFD, so that the result is always valid UTF-8.
Bytes Windows1251ToUtf8(ByteView text);

// Appends c in UTF-8; a surrogate, or a value beyond Unicode, becomes U+FFFD.
void AppendUtf8(Bytes& out, char32_t c);

// Converts UTF-8 text to the list's encoding. For code page 866 each
// character moves to its place there, and one it lacks becomes
// kMissingCharacter; a UTF-8 list keeps the text. A byte that starts no
// character stands for one that is missing: kMissingCharacter, or U+FFFD.
Bytes FromUtf8(ByteView text, ListEncoding encoding);

// Windows-1251 text in the given encoding.
Bytes FromWindows1251(ByteView text, ListEncoding encoding);

// The UTF-8 text in code page 866, when it is valid UTF-8 and code page 866
// holds every one of its characters; otherwise false, with *dos untouched.
bool Utf8ToDosCyrillic(ByteView text, Bytes* dos);
