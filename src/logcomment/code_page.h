#pragma once

#include "common/bytes.h"

// Converts Windows-1251 text to code page 866, byte for byte: the Cyrillic
// letters move to their DOS places, every other byte (ASCII, controls, and
// 0x80-0xBF with Ё and ё) passes unchanged. The length never changes.
Bytes ToDosCyrillic(ByteView text);
void ToDosCyrillicInPlace(Bytes& text);
