#pragma once

#include "common/bytes.h"

// The line format of a description list: the file's name, one blank and the
// description, ended by CR LF. The description keeps its own leading blank,
// so two blanks usually stand between the name and the words.

// Which list a directory keeps: the file managers' or the file areas'.
enum class ListKind {
  kFileManager,    // "Descript.ion": a name with blanks is quoted
  kBulletinBoard,  // "Files.bbs": names are never quoted
};

// How a companion name may appear in a list line.
enum class NameForm {
  kPlain,   // as it is
  kQuoted,  // in double quotes: it holds a blank or a tab
  kUnsafe,  // never: it would break or cut the list
};

// Names with CR, LF or byte 26 would inject or cut lines. In a file-manager
// list, readers take an unquoted name to end at the first blank, so names
// with blanks are quoted, and a name holding a quote cannot be written.
NameForm FormOfName(ByteView name, ListKind kind);

// The start of a line: the name as form says (not kUnsafe), then one blank.
Bytes NamePartOfLine(ByteView name, NameForm form);
