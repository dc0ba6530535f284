#include "desclist/list_line.h"

NameForm FormOfName(ByteView name, ListKind kind) {
  if (name.find_first_of(ByteView("\r\n\x1A", 3)) != ByteView::npos) return NameForm::kUnsafe;
  if (kind == ListKind::kBulletinBoard) return NameForm::kPlain;
  if (name.find('"') != ByteView::npos) return NameForm::kUnsafe;
  return name.find_first_of(" \t") != ByteView::npos ? NameForm::kQuoted : NameForm::kPlain;
}

Bytes NamePartOfLine(ByteView name, NameForm form) {
  if (form == NameForm::kQuoted) return "\"" + Bytes(name) + "\" ";
  return Bytes(name) + " ";
}
