#include "common/io_result.h"

#include <gtest/gtest.h>

#include "common/exception.h"
#include "common/messages.h"

namespace {

TEST(InOutErrorMessage, SevenTableRowsAndTheNumberedRest) {
  EXPECT_EQ(InOutErrorMessage(2), "File not found");
  EXPECT_EQ(InOutErrorMessage(3), "Invalid filename");
  EXPECT_EQ(InOutErrorMessage(4), "Too many open files");
  EXPECT_EQ(InOutErrorMessage(5), "File access denied");
  EXPECT_EQ(InOutErrorMessage(100), "Read beyond end of file");
  EXPECT_EQ(InOutErrorMessage(101), "Disk full");
  EXPECT_EQ(InOutErrorMessage(106), "Invalid numeric input");
  EXPECT_EQ(InOutErrorMessage(32), "I/O error 32");
  EXPECT_EQ(InOutErrorMessage(112), "I/O error 112");
  EXPECT_EQ(InOutErrorMessage(103), "I/O error 103");
  EXPECT_EQ(InOutErrorMessage(536870913), "I/O error 536870913");
}

TEST(CheckIo, RaisesTheResultOnceAndResetsIt) {
  SetIoResult(32);
  try {
    CheckIo();
    FAIL() << "CheckIo did not throw";
  } catch (const EInOutError& failure) {
    EXPECT_EQ(failure.Code(), 32);
    EXPECT_EQ(failure.ClassName(), "EInOutError");
    EXPECT_EQ(failure.Message(), "I/O error 32");
    EXPECT_NE(failure.Address(), nullptr);
  }
  EXPECT_EQ(IoResult(), 0);
  EXPECT_NO_THROW(CheckIo());
}

TEST(TakeIoResult, ReturnsAndResetsWithoutRaising) {
  SetIoResult(5);
  EXPECT_EQ(TakeIoResult(), 5);
  EXPECT_EQ(TakeIoResult(), 0);
}

}  // namespace
