#pragma once

#include "common/run_bounds.h"

// One run: resolves the working directory from the command line, opens the
// description list there (appending, or creating it), appends one line per
// log that has a companion file and a comment, deletes the consumed logs and
// closes the list. Prints the missing-directory message instead when the
// given directory does not exist. A failed file operation throws EInOutError.
// The program runs with its own bounds (common/run_bounds.h); a test may give small ones.
void HarvestRun(const RunBounds& bounds = RunBounds());
