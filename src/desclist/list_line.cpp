#include "desclist/list_line.h"

#include "logcomment/log_comment.h"
#include "platform/paths.h"
#include "platform/platform.h"

const ByteView kByteOrderMark = "\xEF\xBB\xBF";

NameForm FormOfName(ByteView name, ListKind kind) {
  if (name.find_first_of(ByteView("\r\n\x1A", 3)) != ByteView::npos) return NameForm::kUnsafe;
  if (kind == ListKind::kBulletinBoard) return NameForm::kPlain;
  if (name.find('"') != ByteView::npos) return NameForm::kUnsafe;
  return name.find_first_of(" \t") != ByteView::npos ? NameForm::kQuoted : NameForm::kPlain;
}

Bytes NameInList(ByteView name, ListEncoding encoding) {
  if (encoding == ListEncoding::kUtf8) return Os().NameToUtf8(name);
  Bytes dos;
  if (Utf8ToDosCyrillic(Os().NameToUtf8(name), &dos)) return dos;
  return Bytes(name);
}

Bytes NamePartOfLine(ByteView name, NameForm form) {
  if (form == NameForm::kQuoted) return "\"" + Bytes(name) + "\" ";
  return Bytes(name) + " ";
}

ByteView NameOfLine(ByteView line, ListKind kind) {
  if (kind == ListKind::kFileManager && !line.empty() && line[0] == '"') {
    const std::size_t close = line.find('"', 1);
    if (close != ByteView::npos) return line.substr(1, close - 1);
  }
  return line.substr(0, line.find(' '));
}

ByteView NameKey(ByteView line, ListKind kind, bool names_differ_by_case, Bytes* buffer) {
  const ByteView name = NameOfLine(line, kind);
  if (names_differ_by_case) return name;
  *buffer = AsciiLowerCase(name);
  return *buffer;
}

Bytes NameKey(ByteView line, ListKind kind, bool names_differ_by_case) {
  Bytes buffer;
  return Bytes(NameKey(line, kind, names_differ_by_case, &buffer));
}

bool IsErrorLine(ByteView line) {
  return line.size() > kErrorReadingFile.size() &&
         line.substr(line.size() - kErrorReadingFile.size()) == kErrorReadingFile &&
         line[line.size() - kErrorReadingFile.size() - 1] == ' ';
}
