#pragma once

#include "common/bytes.h"

// One run: resolves the working directory from the command line, opens the
// description list there (appending, or creating it), appends one line per
// log that has a companion file and a comment, deletes the consumed logs and
// closes the list. Prints the missing-directory message instead when the
// given directory does not exist. A failed file operation throws EInOutError.
void HarvestRun();

// How a companion name may appear in a list line.
enum class NameForm {
  kPlain,   // as it is
  kQuoted,  // in double quotes: it holds a blank or a tab
  kUnsafe,  // never: it would break or cut the list
};

// Names with CR, LF or byte 26 would inject or cut lines. In a file-manager
// list, readers take an unquoted name to end at the first blank, so names
// with blanks are quoted, and a name holding a quote cannot be written.
NameForm FormOfName(ByteView name, bool file_manager_list);
