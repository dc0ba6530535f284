#include "e2e_support.h"

// The Linux program under test, built beside the tests.
Bytes Program() { return LOGHARVEST_PROGRAM; }
