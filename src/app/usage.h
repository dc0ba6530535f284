#pragma once

#include <vector>

#include "common/bytes.h"
#include "platform/platform.h"

// What a user may ask instead of a harvest: argument 1 is exactly "--help" or
// "--version", or in the Windows style "/?" (never a Windows path; on POSIX a
// valid path, harvested). Anything else, "./--help" included, is a path.
enum class InfoRequest { kNone, kHelp, kVersion };

InfoRequest InfoRequestOf(ByteView argument, PathStyle style);

// The lines that answer a request, without line ends; none for kNone. The
// help names the separator and the spellings of the given style.
std::vector<Bytes> InfoLines(InfoRequest request, PathStyle style);

// "logharvest " and the program's version.
Bytes VersionLine();

// Answers the request in argument 1 on standard output and returns true, or
// returns false without touching anything when there is none. A failed
// write raises EInOutError, as for every other line the program prints.
bool AnswerInfoRequest();
