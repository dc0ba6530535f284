#include "app/entry.h"

#include <cstdlib>

#include "app/harvest.h"
#include "common/io_result.h"
#include "failure/report.h"
#include "platform/platform.h"
#include "textfile/line_file.h"

void RunProcess() {
  RunUnderHandler(&HarvestRun);
  CloseLineFile(StandardOutputFile());
  TakeIoResult();
  Os().Exit(0);
  std::abort();  // not reached: Exit does not return
}
