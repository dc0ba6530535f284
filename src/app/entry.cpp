#include "app/entry.h"

#include <cstdlib>

#include "app/harvest.h"
#include "app/usage.h"
#include "common/io_result.h"
#include "failure/report.h"
#include "platform/platform.h"
#include "textfile/line_file.h"

namespace {

// Help and version come before anything else; otherwise argument 1 is a path.
void StartRun() {
  if (!AnswerInfoRequest()) HarvestRun();
}

}  // namespace

void RunProcess() {
  RunUnderHandler(&StartRun);
  CloseLineFile(StandardOutputFile());
  TakeIoResult();
  Os().Exit(0);
  std::abort();  // not reached: Exit does not return
}
