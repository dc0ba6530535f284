// The parts of the test support that differ by platform: Windows.

#include "test_support_win32.h"

#include <windows.h>

#include <cstdio>
#include <stdexcept>
#include <string>

const Bytes kNullDevice = "NUL";
const Bytes kNewListName = "Descript.ion";

namespace {

[[noreturn]] void Fail(const Bytes& what) {
  throw std::runtime_error(what + " failed with " + std::to_string(GetLastError()));
}

// Closes a handle however the caller leaves.
struct OwnedHandle {
  HANDLE handle = nullptr;
  ~OwnedHandle() {
    if (handle != nullptr && handle != INVALID_HANDLE_VALUE) CloseHandle(handle);
  }
};

Bytes Drain(HANDLE pipe) {
  Bytes all;
  char buffer[65536];
  DWORD got = 0;
  while (ReadFile(pipe, buffer, sizeof buffer, &got, nullptr) && got > 0) all.append(buffer, got);
  return all;
}

// A pipe whose write end the child inherits.
void MakePipe(OwnedHandle& read_end, OwnedHandle& write_end) {
  SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
  if (!CreatePipe(&read_end.handle, &write_end.handle, &inherit, 0)) Fail("CreatePipe");
  SetHandleInformation(read_end.handle, HANDLE_FLAG_INHERIT, 0);
}

}  // namespace

TempDir::TempDir() {
  char base[MAX_PATH + 1];
  const DWORD length = GetTempPathA(sizeof base, base);
  if (length == 0 || length > MAX_PATH) Fail("GetTempPathA");
  static unsigned serial = 0;
  for (int attempt = 0; attempt < 1000; ++attempt) {
    const Bytes path = Bytes(base, length) + "logharvest-test-" + std::to_string(GetCurrentProcessId()) + "-" +
                       std::to_string(++serial);
    if (CreateDirectoryA(path.c_str(), nullptr)) {
      path_ = path + "\\";
      return;
    }
    if (GetLastError() != ERROR_ALREADY_EXISTS) break;
  }
  Fail("CreateDirectoryA");
}

TempDir::~TempDir() { RemoveTree(path_.substr(0, path_.size() - 1)); }

// Through UTF-16, refusing any character the ANSI code page lacks: a
// stand-in character would name another file.
Bytes FileNameFromUtf8(ByteView utf8) {
  if (utf8.empty()) return Bytes();
  const int size = static_cast<int>(utf8.size());
  const int wide_size = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, utf8.data(), size, nullptr, 0);
  if (wide_size <= 0) Fail("MultiByteToWideChar " + Bytes(utf8));
  std::wstring wide(static_cast<std::size_t>(wide_size), L'\0');
  MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, utf8.data(), size, wide.data(), wide_size);
  BOOL lacking = FALSE;
  const int ansi_size =
      WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, wide.data(), wide_size, nullptr, 0, nullptr, &lacking);
  if (ansi_size <= 0 || lacking) {
    throw std::runtime_error("the ANSI code page " + std::to_string(GetACP()) + " cannot hold the name " + Bytes(utf8) +
                             " (the tests run Wine under LANG=ru_RU.UTF-8: Windows-1251)");
  }
  Bytes ansi(static_cast<std::size_t>(ansi_size), '\0');
  WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, wide.data(), wide_size, ansi.data(), ansi_size, nullptr, nullptr);
  return ansi;
}

bool Exists(const Bytes& path) { return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

void MakeDirectory(const Bytes& path) {
  if (!CreateDirectoryA(path.c_str(), nullptr)) Fail("CreateDirectoryA " + path);
}

void RenameOver(const Bytes& from, const Bytes& to) {
  if (!MoveFileExA(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING)) Fail("MoveFileExA " + from);
}

void PauseMilliseconds(int milliseconds) { Sleep(static_cast<DWORD>(milliseconds)); }

void RemoveTree(const Bytes& path) {
  const DWORD attributes = GetFileAttributesA(path.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) return;
  SetFileAttributesA(path.c_str(), FILE_ATTRIBUTE_NORMAL);
  if ((attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
    DeleteFileA(path.c_str());
    return;
  }
  WIN32_FIND_DATAA data;
  const HANDLE find = FindFirstFileA((path + "\\*").c_str(), &data);
  if (find != INVALID_HANDLE_VALUE) {
    do {
      const Bytes name = data.cFileName;
      if (name != "." && name != "..") RemoveTree(path + "\\" + name);
    } while (FindNextFileA(find, &data));
    FindClose(find);
  }
  RemoveDirectoryA(path.c_str());
}

namespace {

int start_retries = 0;

// One start of the program; false when it could not be started at all, with
// the error code in result.exit_code.
bool StartAndWait(const Bytes& program, const Bytes& command_line, const RunOptions& options, RunResult& result) {
  OwnedHandle out_read, out_write, err_read, err_write, unusable;
  MakePipe(out_read, out_write);
  MakePipe(err_read, err_write);
  STARTUPINFOA startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
  startup.hStdError = err_write.handle;
  switch (options.output) {
    case Output::kCaptured:
      startup.hStdOutput = out_write.handle;
      break;
    case Output::kClosed:
      startup.hStdOutput = nullptr;
      break;
    case Output::kDevFull: {
      // Windows has no full device: a handle without write access refuses
      // every write as well.
      SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
      unusable.handle = CreateFileA("NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit, OPEN_EXISTING,
                                    FILE_ATTRIBUTE_NORMAL, nullptr);
      if (unusable.handle == INVALID_HANDLE_VALUE) Fail("CreateFileA NUL");
      startup.hStdOutput = unusable.handle;
      break;
    }
  }
  Bytes line = command_line;  // CreateProcessA may write into it
  PROCESS_INFORMATION process{};
  if (!CreateProcessA(program.c_str(), line.data(), nullptr, nullptr, TRUE, 0, nullptr,
                      options.cwd.empty() ? nullptr : options.cwd.c_str(), &startup, &process)) {
    result.exit_code = static_cast<int>(GetLastError());  // the handles closed below may change it
    return false;
  }
  OwnedHandle process_handle{process.hProcess}, thread_handle{process.hThread};
  // The child holds its own copies of the write ends: the pipes end with it.
  CloseHandle(out_write.handle);
  out_write.handle = nullptr;
  CloseHandle(err_write.handle);
  err_write.handle = nullptr;
  // Standard error is small in every case; read it after standard output.
  result.out = Drain(out_read.handle);
  result.err = Drain(err_read.handle);
  WaitForSingleObject(process.hProcess, INFINITE);
  DWORD code = 0;
  if (!GetExitCodeProcess(process.hProcess, &code)) Fail("GetExitCodeProcess");
  result.exit_code = static_cast<int>(code);
  return true;
}

}  // namespace

// Wine now and then fails to start a program: CreateProcess fails, or the
// start ends with exit code 1 and no output at all, which the program never
// does (its exit code 1 comes with a report). Such a start is tried once
// more; a second failure is the case's.
RunResult RunCommandLine(const Bytes& program, const Bytes& command_line, const RunOptions& options) {
  if (options.user >= 0 || options.file_size_limit >= 0) throw std::invalid_argument("not available on Windows");
  for (int attempt = 1;; ++attempt) {
    RunResult result;
    const bool started = StartAndWait(program, command_line, options, result);
    const bool silent_failure = started && options.output == Output::kCaptured && result.exit_code == 1 &&
                                result.out.empty() && result.err.empty();
    if ((started && !silent_failure) || attempt == 2) {
      if (!started)
        throw std::runtime_error("CreateProcessA " + program + " failed twice, last with " +
                                 std::to_string(result.exit_code));
      return result;
    }
    ++start_retries;
    std::fprintf(
        stderr, "start failed (%s), once more: %s\n",
        started ? "exit code 1, no output" : ("CreateProcessA error " + std::to_string(result.exit_code)).c_str(),
        command_line.c_str());
  }
}

int StartRetries() { return start_retries; }

// Every argument in double quotes: there is no escape character, so an
// argument that holds a double quote cannot be passed this way.
RunResult RunProgram(const Bytes& program, const std::vector<Bytes>& arguments, const RunOptions& options) {
  Bytes line = "\"" + program + "\"";
  for (const Bytes& argument : arguments) {
    if (argument.find('"') != Bytes::npos) throw std::invalid_argument("a double quote cannot be passed: " + argument);
    line += " \"" + argument + "\"";
  }
  return RunCommandLine(program, line, options);
}

Bytes CopyProgram(const Bytes& program, const Bytes& directory, ByteView name) {
  const Bytes copy = directory + Bytes(name);
  if (!CopyFileA(program.c_str(), copy.c_str(), FALSE)) Fail("CopyFileA " + copy);
  return copy;
}

Bytes OwnDirectory() {
  char path[MAX_PATH + 1];
  const DWORD length = GetModuleFileNameA(nullptr, path, MAX_PATH);
  if (length == 0 || length >= MAX_PATH) Fail("GetModuleFileNameA");
  const Bytes full(path, length);
  return full.substr(0, full.rfind('\\') + 1);
}
