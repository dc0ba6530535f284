#include "platform/paths.h"

namespace {

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
