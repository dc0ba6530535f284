#pragma once

#include <cstddef>
#include <vector>

#include "common/bytes.h"

// Returns the position of the character after the one at position; under a
// double-byte code page a character may take two bytes.
using NextCharFunction = std::size_t (*)(ByteView line, std::size_t position);

// Splits a raw command line into its arguments; element 0 is the program
// name as typed. Before each argument, blanks and control bytes (1-32) and
// pairs of double quotes are skipped. An argument runs to a byte 0-32 outside
// quotes; a double quote opens a stretch that runs to the next one or to the
// end of the line, and quotes are never copied. There is no escape
// character. Splitting stops at the first empty argument.
std::vector<Bytes> SplitCommandLine(ByteView line, NextCharFunction next_char = nullptr);
