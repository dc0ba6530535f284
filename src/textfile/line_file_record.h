#pragma once

#include <cstddef>

#include "textfile/line_file.h"

// For the line file's own sources: the record's buffer and state.

// Gives the file a buffer of capacity bytes (keeping one of that size).
void EnsureBuffer(LineFile& file, std::size_t capacity);

// Puts the record into state with handle, nothing buffered or read yet.
void ResetRecord(LineFile& file, LineFileState state, FileHandle handle);

// Opens the record for writing with handle, as its type asks: a character
// device (a console) is written out after every line, disk files and pipes
// are buffered; false (105), the handle closed, for an unknown type.
bool DeviceCheck(LineFile& file, FileHandle handle);
