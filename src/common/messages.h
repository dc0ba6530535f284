#pragma once

#include "common/bytes.h"

// The message of an EInOutError with the given code: one of the seven table
// texts, or "I/O error <code>" for any other code.
Bytes InOutErrorMessage(int code);
