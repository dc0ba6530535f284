#include "platform/paths.h"

namespace {

constexpr ByteView kLogSuffix = ".log";

std::size_t NameStart(ByteView path, PathStyle style) {
  const std::size_t last = style == PathStyle::kWindows ? path.find_last_of("\\:") : path.rfind('/');
  return last == ByteView::npos ? 0 : last + 1;
}

}  // namespace

char SeparatorOf(PathStyle style) { return style == PathStyle::kWindows ? '\\' : '/'; }

Bytes DirectoryPartIn(ByteView path, PathStyle style) { return Bytes(path.substr(0, NameStart(path, style))); }

Bytes NamePartIn(ByteView path, PathStyle style) { return Bytes(path.substr(NameStart(path, style))); }

Bytes DirectoryPart(ByteView path) { return DirectoryPartIn(path, Os().Style()); }

Bytes NamePart(ByteView path) { return NamePartIn(path, Os().Style()); }

bool SameIgnoringCase(ByteView a, ByteView b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (LowerAscii(a[i]) != LowerAscii(b[i])) return false;
  }
  return true;
}

char LowerAscii(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

Bytes AsciiLowerCase(ByteView name) {
  Bytes lower(name);
  for (char& c : lower) c = LowerAscii(c);
  return lower;
}

bool IsLogName(ByteView name) {
  return name.size() >= kLogSuffix.size() && SameIgnoringCase(name.substr(name.size() - kLogSuffix.size()), kLogSuffix);
}

Bytes CompanionName(ByteView log_name) {
  return log_name.size() < kLogSuffix.size() ? Bytes() : Bytes(log_name.substr(0, log_name.size() - kLogSuffix.size()));
}
