#include "app/usage.h"

#include "common/io_result.h"
#include "platform/paths.h"
#include "platform/queries.h"
#include "textfile/line_file.h"

#ifndef LOGHARVEST_VERSION
#error "LOGHARVEST_VERSION must be defined by the build (the project's version)"
#endif

InfoRequest InfoRequestOf(ByteView argument, PathStyle style) {
  if (argument == "--help") return InfoRequest::kHelp;
  if (argument == "--version") return InfoRequest::kVersion;
  if (style == PathStyle::kWindows && argument == "/?") return InfoRequest::kHelp;
  return InfoRequest::kNone;
}

Bytes VersionLine() { return Bytes("logharvest ") + LOGHARVEST_VERSION; }

std::vector<Bytes> InfoLines(InfoRequest request, PathStyle style) {
  if (request == InfoRequest::kNone) return {};
  if (request == InfoRequest::kVersion) return {VersionLine()};
  const bool windows = style == PathStyle::kWindows;
  const Bytes separator(1, SeparatorOf(style));
  // ASCII only: the text must read the same in every console code page.
  return {
      VersionLine() + " - moves file comments from logs into a description list",
      "",
      "Usage: logharvest [DIRECTORY | FILE] [-F]",
      windows ? "       logharvest --help | --version | /?" : "       logharvest --help | --version",
      "",
      "For each log X.log whose file X lies beside it, the comment line of the log",
      "(Windows-1251) is appended as \"X comment\" to the directory's description",
      "list (code page 866), and the log is deleted once its line is safely on disk.",
      "",
      "  DIRECTORY  the directory to harvest",
      "  FILE       a file: the directory that holds it is harvested",
      "             (no argument: the directory that holds the program)",
      "  -F         in any letter case: harvest one level up, when DIRECTORY is",
      "             given without a trailing " + separator,
      "",
      windows ? "The list is Descript.ion, or Files.bbs when a file named to_bbs lies beside"
              : "The list is descript.ion, or files.bbs when a file named to_bbs lies beside",
      "the program. A directory named --help is reached as ." + separator + "--help.",
      "Nothing is printed on success; a directory that does not exist is reported",
      "on one line.",
      "",
      "Exit codes: 0  harvested, or the directory does not exist",
      "            1  a file operation failed; the printed report names it",
  };
}

bool AnswerInfoRequest() {
  const InfoRequest request = InfoRequestOf(ArgumentAt(1), Os().Style());
  if (request == InfoRequest::kNone) return false;
  for (const Bytes& line : InfoLines(request, Os().Style())) {
    WriteLine(StandardOutputFile(), line, Os().TextLineEnd());
    CheckIo();
  }
  return true;
}
