#include "logcomment/log_comment.h"

#include <algorithm>
#include <cstdint>
#include <utility>
#include <vector>

#include "common/io_result.h"
#include "textfile/line_file_read.h"

const ByteView kCommentPrefix = "\xCA\xEE\xEC\xEC\xE5\xED\xF2\xE0\xF0\xE8\xE9\x3A";
const ByteView kErrorReadingFile = "        error reading file";

namespace {

// The prefix as today's writers put it, in UTF-8.
constexpr ByteView kUtf8CommentPrefix =
    "\xD0\x9A\xD0\xBE\xD0\xBC\xD0\xBC\xD0\xB5\xD0\xBD\xD1\x82\xD0\xB0\xD1\x80\xD0\xB8\xD0\xB9\x3A";
// And in UTF-16, unit by unit.
constexpr char16_t kUtf16CommentPrefix[] = u"\u041A\u043E\u043C\u043C\u0435\u043D\u0442\u0430\u0440\u0438\u0439:";
constexpr std::size_t kUtf16PrefixUnits = sizeof kUtf16CommentPrefix / sizeof kUtf16CommentPrefix[0] - 1;

constexpr ByteView kUtf8ByteOrderMark = "\xEF\xBB\xBF";
constexpr ByteView kUtf16LittleEndianMark = "\xFF\xFE";
constexpr ByteView kUtf16BigEndianMark = "\xFE\xFF";

constexpr char16_t kLineFeed = 0x0A;
constexpr char16_t kCarriageReturn = 0x0D;
constexpr char16_t kUnitEndOfFileMark = 0x1A;

// The last comment line met so far: the text after its prefix, in
// Windows-1251 or, from a UTF-8 or UTF-16 line, in UTF-8; one longer than
// kMaxCommentBytes is only noted (log_comment.h). The zeros of the holes it
// runs through are kept as runs, put in once the last comment line is known:
// many comment lines, each running into a hole, cost no more than their data.
struct LastComment {
  bool found = false;
  Bytes text;
  std::vector<ZeroRun> zeros;
  bool utf8 = false;
  bool too_long = false;
};

// A comment line begins: the earlier comment is out, so that two long ones
// are never held at once.
void BeginComment(LastComment* last) {
  last->found = true;
  last->text = Bytes();
  last->zeros.clear();
}

std::size_t LengthWithZeros(const Bytes& text, const std::vector<ZeroRun>& zeros) {
  std::size_t length = text.size();
  for (const ZeroRun& run : zeros) length += run.length;
  return length;
}

// The rest of a line whose prefix was just read.
void TakeCommentText(LineFile& log, bool utf8, LastComment* last) {
  BeginComment(last);
  std::vector<ZeroRun> zeros;
  Bytes text = ReadTextLine(log, kMaxCommentBytes + 1, &zeros);
  last->utf8 = utf8;
  last->too_long = LengthWithZeros(text, zeros) > kMaxCommentBytes;
  if (!last->too_long) {
    last->text = std::move(text);
    last->zeros = std::move(zeros);
  }
}

// A log of single bytes (log_comment.h); the UTF-8 prefix begins no line of
// Windows-1251 text that starts with the prefix. Only a line opening with
// either prefix is kept: ordinary lines, however many, take constant memory.
void ReadByteLines(LineFile& log, LastComment* last) {
  const ByteView utf8_start = kUtf8CommentPrefix.substr(0, kCommentPrefix.size());
  const ByteView utf8_rest = kUtf8CommentPrefix.substr(kCommentPrefix.size());
  for (;;) {
    SkipLinesNotStartingWith(log, kCommentPrefix[0], kUtf8CommentPrefix[0]);
    const bool end = AtEnd(log);
    CheckIo();
    if (end) break;
    const Bytes start = ReadTextLine(log, kCommentPrefix.size());
    if (start == kCommentPrefix) {
      TakeCommentText(log, false, last);
    } else if (start == utf8_start && ReadTextLine(log, utf8_rest.size()) == utf8_rest) {
      TakeCommentText(log, true, last);
    }
    SkipTextLine(log);
    SkipLineEnd(log);
    CheckIo();
  }
}

// A log in UTF-16 after its byte order mark, read unit by unit (the line
// rules: log_comment.h). An odd last byte is no unit. A hole's zeros are
// units of zero, ordinary ones, taken all at once.
void ReadUtf16Lines(LineFile& log, bool big_endian, LastComment* last) {
  enum class State { kPrefix, kSkip, kTake };
  State state = State::kPrefix;
  std::size_t matched = 0;
  Bytes text;
  std::vector<ZeroRun> zeros;  // of text
  std::size_t zero_count = 0;
  std::int64_t taken = 0;  // bytes of the log after the prefix: a hole may hold more than memory
  char16_t high = 0;       // a high surrogate waiting for its low one
  const std::int64_t cap = static_cast<std::int64_t>(kMaxCommentBytes);
  const auto end_line = [&] {
    if (state == State::kTake) {
      if (high != 0) AppendUtf8(text, kReplacementCharacter);
      last->utf8 = true;
      last->too_long = taken > cap;
      last->text = last->too_long ? Bytes() : std::move(text);
      last->zeros = last->too_long ? std::vector<ZeroRun>() : std::move(zeros);
      text = Bytes();
      zeros.clear();
    }
    state = State::kPrefix;
    matched = 0;
  };
  // One unit; false at the mark, which ends the log.
  const auto take_unit = [&](char16_t unit) {
    if (unit == kUnitEndOfFileMark) {
      end_line();
      return false;
    }
    if (unit == kCarriageReturn) return true;
    if (unit == kLineFeed) {
      end_line();
      return true;
    }
    if (state == State::kPrefix) {
      if (unit != kUtf16CommentPrefix[matched]) {
        state = State::kSkip;
      } else if (++matched == kUtf16PrefixUnits) {
        state = State::kTake;
        BeginComment(last);
        zero_count = 0;
        taken = 0;
        high = 0;
      }
    } else if (state == State::kTake) {
      taken += 2;
      if (taken > cap) return true;
      if (high != 0 && unit >= 0xDC00 && unit <= 0xDFFF) {
        AppendUtf8(text, 0x10000 + ((static_cast<char32_t>(high) - 0xD800) << 10) + (unit - 0xDC00));
        high = 0;
        return true;
      }
      if (high != 0) AppendUtf8(text, kReplacementCharacter);
      high = 0;
      if (unit >= 0xD800 && unit <= 0xDBFF) {
        high = unit;
      } else {
        AppendUtf8(text, unit);  // a lone low surrogate becomes U+FFFD
      }
    }
    return true;
  };
  // n units of zero, as a hole gives them: no prefix unit and no line end,
  // and in a comment's text U+0000, one byte of UTF-8 each, kept as a run.
  const auto take_zero_units = [&](std::int64_t n) {
    if (n == 0) return;
    if (state == State::kPrefix) state = State::kSkip;
    if (state != State::kTake) return;
    const std::int64_t kept = std::min(n, taken < cap ? (cap - taken) / 2 : 0);
    taken += 2 * n;
    if (kept == 0) return;
    if (high != 0) AppendUtf8(text, kReplacementCharacter);
    high = 0;
    zeros.push_back({text.size() + zero_count, static_cast<std::size_t>(kept)});
    zero_count += static_cast<std::size_t>(kept);
  };
  char buffer[16 * 1024];
  std::size_t carried = 0;
  for (;;) {
    const std::size_t asked = sizeof buffer - carried;
    const std::size_t got = ReadBytes(log, buffer + carried, asked);
    CheckIo();
    const std::int64_t hole = got < asked ? HoleAhead(log) : 0;
    CheckIo();
    if (got == 0 && hole == 0) break;
    const std::size_t available = carried + got;
    std::size_t at = 0;
    for (; at + 2 <= available; at += 2) {
      const auto first = static_cast<unsigned char>(buffer[at]);
      const auto second = static_cast<unsigned char>(buffer[at + 1]);
      if (!take_unit(static_cast<char16_t>(big_endian ? (first << 8) | second : (second << 8) | first))) return;
    }
    carried = available - at;
    if (carried != 0) buffer[0] = buffer[at];
    if (hole == 0) continue;
    // A hole that starts at an odd offset: its first zero ends the unit of
    // the byte before it; one that ends at an odd offset leaves a zero for
    // the unit of the byte after it.
    std::int64_t left = hole;
    if (carried == 1) {
      const auto byte = static_cast<unsigned char>(buffer[0]);
      if (!take_unit(static_cast<char16_t>(big_endian ? byte << 8 : byte))) return;
      --left;
    }
    take_zero_units(left / 2);
    carried = static_cast<std::size_t>(left % 2);
    buffer[0] = '\0';
    SkipHole(log);
  }
  end_line();
}

}  // namespace

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
  if (comment.identity.may_have_holes) PassOverHoles(log);

  // How the log begins tells how it is read: a UTF-16 mark, whose text has
  // bytes 26 that are no mark, or single bytes, after a UTF-8 mark if any.
  SetMarkEndsInput(log, false);
  const Bytes start = PeekBytes(log, kUtf8ByteOrderMark.size());
  CheckIo();
  char mark[3];
  LastComment last;
  if (start.compare(0, 2, kUtf16LittleEndianMark) == 0 || start.compare(0, 2, kUtf16BigEndianMark) == 0) {
    ReadBytes(log, mark, 2);
    ReadUtf16Lines(log, start[0] == kUtf16BigEndianMark[0], &last);
  } else {
    if (start == kUtf8ByteOrderMark) ReadBytes(log, mark, kUtf8ByteOrderMark.size());
    SetMarkEndsInput(log, true);
    ReadByteLines(log, &last);
  }
  // A log without a comment line yet, whose writer may be at work unseen,
  // is left as one that its writer still holds: the comment may yet come.
  const bool may_be_written = !last.found && Os().MayBeWrittenUnseen(log.handle);
  CloseLineFile(log);
  CheckIo();
  if (may_be_written) {
    comment.open_error = kErrorHeldByWriter;
  } else if (last.too_long) {
    comment.open_error = kErrorFileTooLarge;
    comment.description = Bytes(kErrorReadingFile);
  } else {
    // The zeros of a hole, at most the cap of them, are put in only here.
    if (!last.zeros.empty()) last.text = WithZeroRuns(last.text, last.zeros);
    if (last.utf8) {
      comment.description = FromUtf8(last.text, encoding);
    } else if (encoding == ListEncoding::kDosCyrillic) {
      ToDosCyrillicInPlace(last.text);  // the same length: no second copy of a long comment
      comment.description = std::move(last.text);
    } else {
      comment.description = Windows1251ToUtf8(last.text);
    }
  }
  return comment;
}
