#pragma once

#include <sys/stat.h>

#include <cstdint>

#include "platform/platform.h"

// What platform_posix.cpp and posix_files.cpp share.

// errno as the platform's error codes.
int MapErrno(int error);
int LastError();
// A file's identity from what stat tells.
FileIdentity IdentityOf(const struct stat& info);
// Closes fd and returns error.
int CloseKeepingError(int fd, int error);

// Platform::CreateLike, CopyRange and ReplaceOpenFile.
int PosixCreateLike(const Bytes& path, int model, FileHandle* file);
int PosixCopyRange(int from, std::int64_t offset, std::int64_t length, int to, std::int64_t* done);
int PosixReplaceOpenFile(int file, const Bytes& path, const FileIdentity& expected, int replacement,
                         const Bytes& replacement_path);
