#pragma once

// The end-to-end cases that every build shares, as one table of scenes:
// the files before, the command line, the list and the output expected,
// the exit code and the files after. Each build's test program runs the
// table (as EndToEnd/SharedScene.Runs/NAME) with its own ThisBuild(): the
// program, the list names and, from its scratch directory, the separator.
//
// Paths in a scene are written neutrally, relative to the scene's scratch
// directory, with "/" as separator. In arguments and in the expected output
// "{root}" stands for that directory, written the build's way and ending in
// its separator; such an argument, and one that starts with "./", has its
// "/" turned into the build's separator. In paths, "{list}" and "{bbs}"
// stand for the names the build gives a new list. In the expected output,
// "{program}" stands for the name of the program file run and "{offset}"
// for any 8 hexadecimal digits.
//
// Names are written in UTF-8, and each build lays out and lists its files
// under its own bytes for them (FileNameFromUtf8): on Windows, those of the
// ANSI code page, Windows-1251, so every name a scene uses must be one that
// Windows-1251 holds. Where a list holds a name as the file system's bytes,
// its content (before, or expected) says so with FileNameBytes().

#include <vector>

#include "test_support.h"

// An entry laid out before the run.
struct SceneFile {
  enum Kind { kFile, kDirectory, kLog };
  Kind kind;
  const char* path;
  Bytes content;  // kFile: the bytes; kLog: the comment of path + ".log"
};
inline SceneFile File(const char* path, Bytes content) { return {SceneFile::kFile, path, std::move(content)}; }
inline SceneFile Dir(const char* path) { return {SceneFile::kDirectory, path, ""}; }
// A file and its log X.log with the given comment text.
inline SceneFile Log(const char* path, Bytes comment) { return {SceneFile::kLog, path, std::move(comment)}; }

// The name, given in UTF-8, as the build's file system holds it, in a
// list's content: "{name:" NAME "}", which the build replaces.
inline Bytes FileNameBytes(ByteView utf8) { return "{name:" + Bytes(utf8) + "}"; }

// How the program is started, when not as it is with the arguments.
struct SceneStart {
  const char* copy_to = nullptr;  // a copy of the program in this directory ("" the scratch one) is run
  const char* copy_name = "logharvest";
  const char* cwd = nullptr;  // the working directory, relative to the scratch one
  Output output_to = Output::kCaptured;
  bool any_order = false;  // the list's lines may come in any order
};

struct Scene {
  const char* name;  // a test name: letters and digits only
  std::vector<SceneFile> before;
  std::vector<Bytes> arguments;
  const char* list;  // the list expected after the run, or nullptr for none
  Bytes list_bytes;
  Bytes output;  // standard output; standard error is always empty
  int exit_code;
  std::vector<Bytes> after;  // every entry afterwards, directories ending in "/"
  SceneStart start = {};
};

// What a build contributes: its program and its names.
struct Build {
  Bytes program;            // the program under test
  Bytes executable_suffix;  // "" or ".exe"
  Bytes list_name;          // a new list without the marker
  Bytes bbs_name;           // a new list with the marker
};

// Each test program defines it.
Build ThisBuild();

// The whole output must be a fatal report for message, naming module, with
// a code offset of 8 hex digits, not 0 (both are regular expressions).
void ExpectReport(const RunResult& result, const Bytes& module, const Bytes& message);
