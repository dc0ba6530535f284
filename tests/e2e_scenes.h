#pragma once

// The end-to-end cases that every build shares, as one table of scenes:
// the files before, the command line, the list and the output expected,
// the exit code and the files after. Each build runs the table through
// RunScene with its own Build: the separator, the list names and the
// program it starts.
//
// Paths in a scene are written neutrally, relative to the scene's scratch
// directory, with "/" as separator. In arguments and in the expected output
// "{root}" stands for that directory, written the build's way and ending in
// its separator; such an argument, and one that starts with "./", has its
// "/" turned into the build's separator. In paths, "{list}" and "{bbs}"
// stand for the names the build gives a new list. In the expected output,
// "{program}" stands for the name of the program file run and "{offset}"
// for any 8 hexadecimal digits.

#include <gtest/gtest.h>

#include <ostream>
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

struct Scene {
  const char* name;  // a test name: letters and digits only
  std::vector<SceneFile> before;
  std::vector<Bytes> arguments;
  const char* list;  // the list expected after the run, or nullptr for none
  Bytes list_bytes;  // its content
  bool any_order;    // the new lines of the list may come in any order
  Bytes output;      // standard output; standard error is always empty
  int exit_code;
  std::vector<Bytes> after;  // every entry afterwards, directories ending in "/"
  // How the program is started.
  const char* copy_to = nullptr;  // a copy of the program in this directory ("" the scratch one) is run
  const char* copy_name = "logharvest";
  const char* cwd = nullptr;  // the working directory, relative to the scratch one
  Output output_to = Output::kCaptured;
};

// What a build contributes: its program and its names.
struct Build {
  Bytes program;            // the program under test
  Bytes executable_suffix;  // "" or ".exe"
  Bytes list_name;          // a new list without the marker
  Bytes bbs_name;           // a new list with the marker
};

const std::vector<Scene>& Scenes();

// Lays out the scene in a fresh scratch directory, runs the program and
// checks everything the scene expects.
void RunScene(const Scene& scene, const Build& build);

// The scene's name, for INSTANTIATE_TEST_SUITE_P.
inline Bytes SceneName(const ::testing::TestParamInfo<Scene>& param) { return param.param.name; }

inline std::ostream& operator<<(std::ostream& out, const Scene& scene) { return out << scene.name; }
