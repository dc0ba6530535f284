#pragma once

#include "common/bytes.h"

// The 12 bytes that open a comment line: "Комментарий:" in Windows-1251.
extern const ByteView kCommentPrefix;
// The description of a log that cannot be opened: eight blanks and the words.
extern const ByteView kErrorReadingFile;

// The description of the log at path: the text after the prefix of its last
// comment line, converted to code page 866; empty when there is none.
//
// A log that cannot be opened gives kErrorReadingFile and never throws; its
// platform code is stored in *open_error (0 when the log was read). A read or
// close failure after the open throws EInOutError.
Bytes ReadLogComment(const Bytes& path, int* open_error);
