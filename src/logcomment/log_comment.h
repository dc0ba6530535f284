#pragma once

#include <cstddef>

#include "common/bytes.h"
#include "logcomment/code_page.h"
#include "platform/platform.h"

// The 12 bytes that open a comment line: "Комментарий:" in Windows-1251.
extern const ByteView kCommentPrefix;
// The description of a log that cannot be opened: eight blanks and the words.
extern const ByteView kErrorReadingFile;

// The longest comment taken, in bytes of the log after the prefix, far above
// any real comment. Reading keeps no more, so memory stays bounded whatever
// the log; an earlier comment line that is longer is passed over, and a log
// whose last comment line is longer is one that cannot be read.
constexpr std::size_t kMaxCommentBytes = 1024 * 1024;

// What a log gives the list.
struct LogComment {
  // The log's last comment line after its prefix, in the list's encoding;
  // empty if there is none, kErrorReadingFile if the log cannot be opened.
  Bytes description;
  // The platform's code when the log cannot be opened; kErrorFileTooLarge
  // when its last comment line is longer than kMaxCommentBytes;
  // kErrorHeldByWriter too when it has no comment line yet and a writer the
  // open could not see may still be at work on it.
  int open_error = 0;
  FileIdentity identity;  // the log as it was read: a changed log is another one
};

// Reads the log at path: Windows-1251 text, where a line may also open with
// the prefix in UTF-8, the same after a UTF-8 byte order mark, and UTF-16
// text after a UTF-16 mark (either byte order). A comment from UTF-8 or
// UTF-16 is converted from Unicode, a character code page 866 lacks becoming
// kMissingCharacter. Whatever the encoding, LF ends a line, CR is dropped and
// the character 26 ends the log. The holes of a sparse log are zero bytes
// (units of zero in UTF-16), passed over, never read: a log costs what its
// data costs, whatever its size. A log that cannot be opened never throws; a
// read, query or close failure after the open throws EInOutError.
LogComment ReadLogComment(const Bytes& path, ListEncoding encoding);
