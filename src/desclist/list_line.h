#pragma once

#include "common/bytes.h"
#include "logcomment/code_page.h"

// A list line: the file's name, one blank and the description, ended by
// CR LF. The description keeps its own leading blank, so two blanks usually
// stand between the name and the words. Encodings: logcomment/code_page.h.

// Which list a directory keeps: the file managers' or the file areas'.
enum class ListKind {
  kFileManager,    // "Descript.ion": a name with blanks is quoted
  kBulletinBoard,  // "Files.bbs": names are never quoted
};

// The UTF-8 byte order mark.
extern const ByteView kByteOrderMark;

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

// A file's name as a list in encoding carries it: in a UTF-8 list, in UTF-8.
// In a code page 866 list, a name (UTF-8 where names are UTF-8, on Windows in
// the ANSI code page, decoded from it) whose characters code page 866 all
// holds is written in it, so that a reader, which decodes the whole line in
// that code page, finds the file; any other name (not UTF-8, or with a
// character such as the euro sign) is written as its bytes.
Bytes NameInList(ByteView name, ListEncoding encoding);

// The start of a line: the name as form says (not kUnsafe), then one blank.
Bytes NamePartOfLine(ByteView name, NameForm form);

// The name a line (without its line end) describes, as readers take it: a
// quoted name in a file-manager list, else the bytes up to the first blank.
ByteView NameOfLine(ByteView line, ListKind kind);

// The key of the name a line (or a name part) describes: one for the names
// readers take as one, ASCII case ignored where names do not differ by it.
Bytes NameKey(ByteView line, ListKind kind, bool names_differ_by_case);
// The same as a view, of line or of buffer, which it may fill.
ByteView NameKey(ByteView line, ListKind kind, bool names_differ_by_case, Bytes* buffer);

// Whether the line (without its line end) is the line of a log that could
// not be read: a name, a blank, and the error text.
bool IsErrorLine(ByteView line);
