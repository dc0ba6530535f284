#pragma once

// The process: the run under the top-level handler, then standard output is
// closed (its pending bytes written out, unchecked) and the process ends
// with exit code 0. A failure ends it with the fatal report and code 1.
[[noreturn]] void RunProcess();
