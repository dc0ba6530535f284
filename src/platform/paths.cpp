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

bool NameMatches(ByteView name, ByteView pattern) {
  // The run's own patterns, "*" and a plain name ("*.log"), are matched by
  // the name's end: every entry of a walk's directory passes through here.
  if (!pattern.empty() && pattern[0] == '*' && pattern.find_first_of("*?", 1) == ByteView::npos) {
    const ByteView end = pattern.substr(1);
    if (name.size() < end.size()) return false;
    return SameIgnoringCase(name.substr(name.size() - end.size()), end);
  }
  std::size_t n = 0, p = 0, star = ByteView::npos, resume = 0;
  while (n < name.size()) {
    if (p < pattern.size() && pattern[p] == '*') {
      star = p++;
      resume = n;
    } else if (p < pattern.size() && (pattern[p] == '?' || LowerAscii(pattern[p]) == LowerAscii(name[n]))) {
      ++p;
      ++n;
    } else if (star != ByteView::npos) {
      p = star + 1;
      n = ++resume;
    } else {
      return false;
    }
  }
  while (p < pattern.size() && pattern[p] == '*') ++p;
  return p == pattern.size();
}
