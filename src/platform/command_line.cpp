#include "platform/command_line.h"

#include <algorithm>

std::vector<Bytes> SplitCommandLine(ByteView line, NextCharFunction next_char) {
  // Bytes are compared unsigned; a NUL ends the line as the end does.
  auto at = [line](std::size_t i) -> unsigned char {
    return i < line.size() ? static_cast<unsigned char>(line[i]) : 0;
  };
  std::vector<Bytes> arguments;
  std::size_t i = 0;
  for (;;) {
    for (;;) {
      if (at(i) >= 1 && at(i) <= 32) {
        ++i;
      } else if (at(i) == '"' && at(i + 1) == '"') {
        i += 2;
      } else {
        break;
      }
    }
    Bytes argument;
    bool quoted = false;
    while (at(i) != 0 && (quoted || at(i) > 32)) {
      if (at(i) == '"') {
        quoted = !quoted;
        ++i;
        continue;
      }
      std::size_t next = next_char != nullptr ? next_char(line, i) : i + 1;
      next = std::min(std::max(next, i + 1), line.size());
      argument.append(line.substr(i, next - i));
      i = next;
    }
    if (argument.empty()) break;
    arguments.push_back(std::move(argument));
  }
  return arguments;
}
