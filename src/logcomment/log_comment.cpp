#include "logcomment/log_comment.h"

#include <utility>

#include "common/io_result.h"
#include "textfile/line_file_read.h"

const ByteView kCommentPrefix = "\xCA\xEE\xEC\xEC\xE5\xED\xF2\xE0\xF0\xE8\xE9\x3A";
const ByteView kErrorReadingFile = "        error reading file";

LogComment ReadLogComment(const Bytes& path, ListEncoding encoding) {
  LogComment comment;
  LineFile log;
  OpenRead(log, path);
  comment.open_error = TakeIoResult();
  if (comment.open_error != 0) {
    comment.description = Bytes(kErrorReadingFile);
    return comment;
  }
  // Taken before the first byte is read: a log changed while or after it is
  // read is not the log that was read.
  IdentifyLineFile(log, &comment.identity);
  CheckIo();
  LimitReading(log, comment.identity.size);

  // Only a line that opens with the prefix is kept, so a log of any size
  // with ordinary lines is read in constant memory. The last one wins.
  Bytes text;
  for (;;) {
    SkipLinesNotStartingWith(log, kCommentPrefix[0]);
    const bool end = AtEnd(log);
    CheckIo();
    if (end) break;
    if (ReadTextLine(log, kCommentPrefix.size()) == kCommentPrefix) {
      text = ReadTextLine(log, kMaxCommentBytes + 1);
      if (text.size() > kMaxCommentBytes) {
        CloseLineFile(log);
        CheckIo();
        comment.open_error = kErrorFileTooLarge;
        comment.description = Bytes(kErrorReadingFile);
        return comment;
      }
    } else {
      SkipTextLine(log);
    }
    SkipLineEnd(log);
    CheckIo();
  }
  CloseLineFile(log);
  CheckIo();
  if (encoding == ListEncoding::kDosCyrillic) {
    ToDosCyrillicInPlace(text);  // the same length: no second copy of a long comment
    comment.description = std::move(text);
  } else {
    comment.description = Windows1251ToUtf8(text);
  }
  return comment;
}
