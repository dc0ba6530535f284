#pragma once

#include <gtest/gtest.h>

#include "test_support.h"

// The program under test: each test program defines it.
Bytes Program();

// One scratch area per test: Root() holds the files a test lays out.
class EndToEnd : public ::testing::Test {
 protected:
  const Bytes& Root() const { return root_.Path(); }
  Bytes At(ByteView name) const { return root_ / name; }

  // A file X and its log X.log with the given comment text.
  void AddLog(const Bytes& directory, const Bytes& name, const Bytes& comment) {
    WriteBytes(directory + name, "data");
    WriteBytes(directory + name + ".log", LogWithComment(comment));
  }

  RunResult Run(const std::vector<Bytes>& arguments, const RunOptions& options = RunOptions()) {
    return RunProgram(Program(), arguments, options);
  }

  TempDir root_;
};
