#include "common/io_result.h"

#include "common/exception.h"

namespace {
int io_result = 0;
}  // namespace

int IoResult() { return io_result; }

void SetIoResult(int code) { io_result = code; }

// Kept out of line so that the return address is the position just after the
// caller's check: that is the position the fatal report prints.
__attribute__((noinline)) void CheckIo() {
  if (io_result == 0) return;
  const int code = io_result;
  io_result = 0;
  throw EInOutError(code, __builtin_extract_return_addr(__builtin_return_address(0)));
}

int TakeIoResult() {
  const int code = io_result;
  io_result = 0;
  return code;
}
