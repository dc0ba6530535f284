#pragma once

// The process: the run under the top-level handler (or, when argument 1
// asks for it, the help or the version instead), then standard output is
// closed (its pending bytes written out, unchecked) and the process ends
// with exit code 0. A failure ends it with the fatal report and code 1.
[[noreturn]] void RunProcess();
