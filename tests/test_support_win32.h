#pragma once

#include "test_support.h"

// Runs program with exactly this command line, as CreateProcessA passes it
// on (argument 0 included): the splitting rules then see what Windows
// delivers. RunProgram builds such a line by quoting every argument.
RunResult RunCommandLine(const Bytes& program, const Bytes& command_line, const RunOptions& options = RunOptions());

// How many starts RunCommandLine has tried again after Wine failed to start
// the program.
int StartRetries();

// The directory of the running test program, ending in "\".
Bytes OwnDirectory();
