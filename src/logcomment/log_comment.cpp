#include "logcomment/log_comment.h"

#include <utility>

#include "common/io_result.h"
#include "logcomment/code_page.h"
#include "textfile/line_file_read.h"

const ByteView kCommentPrefix = "\xCA\xEE\xEC\xEC\xE5\xED\xF2\xE0\xF0\xE8\xE9\x3A";
const ByteView kErrorReadingFile = "        error reading file";

Bytes ReadLogComment(const Bytes& path, int* open_error) {
  LineFile log;
  OpenRead(log, path);
  *open_error = TakeIoResult();
  if (*open_error != 0) return Bytes(kErrorReadingFile);

  // Only a line that opens with the prefix is kept, so a log of any size
  // with ordinary lines is read in constant memory. The last one wins.
  Bytes description;
  for (;;) {
    SkipLinesNotStartingWith(log, kCommentPrefix[0]);
    const bool end = AtEnd(log);
    CheckIo();
    if (end) break;
    if (ReadTextLine(log, kCommentPrefix.size()) == kCommentPrefix) {
      description = ReadTextLine(log);
    } else {
      SkipTextLine(log);
    }
    SkipLineEnd(log);
    CheckIo();
  }
  CloseLineFile(log);
  CheckIo();
  ToDosCyrillicInPlace(description);
  return description;
}
