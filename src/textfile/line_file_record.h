#pragma once

#include <cstddef>

#include "textfile/line_file.h"

// For the line file's own sources: the record's buffer and state.

// Gives the file a buffer of capacity bytes (keeping one of that size).
void EnsureBuffer(LineFile& file, std::size_t capacity);

// Puts the record into state with handle, nothing buffered or read yet.
void ResetRecord(LineFile& file, LineFileState state, FileHandle handle);

// Opens the record for writing with handle, as its type asks (see the
// definition); false, the handle closed, for a handle of unknown type.
bool DeviceCheck(LineFile& file, FileHandle handle);
