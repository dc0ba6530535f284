#pragma once

#include "common/bytes.h"
#include "platform/platform.h"

// Path rules over bytes. In the Windows style "\" separates directories and
// ":" ends a drive prefix; in the POSIX style "/" separates. Every byte
// counts on its own: the ANSI code pages the program serves are single-byte.

// The separator that ends a working directory.
char SeparatorOf(PathStyle style);

// The bytes up to and including the last separator (or ":" in the Windows
// style); empty when there is none.
Bytes DirectoryPartIn(ByteView path, PathStyle style);
// The bytes after that; the whole path when there is no separator.
Bytes NamePartIn(ByteView path, PathStyle style);

// The same in the style of the platform in use.
Bytes DirectoryPart(ByteView path);
Bytes NamePart(ByteView path);

// Whether a and b are equal, ASCII letters compared without regard to case.
bool SameIgnoringCase(ByteView a, ByteView b);

// A copy of name with the ASCII letters in lower case.
Bytes AsciiLowerCase(ByteView name);
char LowerAscii(char c);

// An entry whose own name ends in ".log", in any letter case, is a log. The
// platform's pattern may also match through an alternate short name
// ("data.logx" is DATA~1.LOG there): only this test decides.
bool IsLogName(ByteView name);

// Whether name matches pattern, with "*" and "?" wildcards; letters match
// without regard to ASCII case, as names do on the system the logs come
// from, and as both builds and the tests' memory world match the run's
// patterns.
bool NameMatches(ByteView name, ByteView pattern);

// A log's companion: its name less the last 4 bytes (empty if shorter).
Bytes CompanionName(ByteView log_name);
