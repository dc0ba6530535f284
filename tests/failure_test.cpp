#include <gtest/gtest.h>

#include "failure/report.h"

namespace {

TEST(FatalReport, TemplateWithEightUpperCaseHexDigitsAndTheDotRule) {
  EXPECT_EQ(FormatFatalReport("EInOutError", "logharvest", 0x1A2bC, "File access denied"),
            "Exception EInOutError in module logharvest at 0001A2BC.\nFile access denied.");
  // A message that ends with a dot gets no second one; an empty one none.
  EXPECT_EQ(FormatFatalReport("E", "m.exe", 0xFFFFFFFF, "Done."), "Exception E in module m.exe at FFFFFFFF.\nDone.");
  EXPECT_EQ(FormatFatalReport("E", "m", 0, ""), "Exception E in module m at 00000000.\n");
}

}  // namespace
