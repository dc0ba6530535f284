#pragma once

// The I/O result: one value for the process, 0 when the last checked file
// operations all succeeded. A failed line-file operation stores its error
// code here (a Windows error code, or one of the line-file codes 103-105);
// a successful operation leaves it unchanged.

int IoResult();
void SetIoResult(int code);

// When the I/O result is not 0: resets it to 0 and throws EInOutError with
// that code, recording the code position just after the call.
void CheckIo();

// Returns the I/O result and resets it to 0 without throwing.
int TakeIoResult();
