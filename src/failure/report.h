#pragma once

#include <cstdint>

#include "common/bytes.h"

// The fatal report, without its final CR LF:
// "Exception <class> in module <module> at <8 hex digits>." LF <message>
// followed by "." when the message is not empty and does not end with one.
Bytes FormatFatalReport(ByteView class_name, ByteView module_name, std::uint32_t offset, ByteView message);

// Runs run under the top-level handler. When a failure escapes, standard
// output's pending bytes are written out, the fatal report and CR LF go
// straight to its handle, it is closed, and the process ends with exit code
// 1; failures while reporting are ignored. Returns only when run returns.
void RunUnderHandler(void (*run)());
