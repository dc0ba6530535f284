// The deletion of a log on the real file system, in both builds: only the
// file whose identity the run took goes, whatever took its name since.

#include "platform/platform.h"

#include <gtest/gtest.h>

#include "test_support.h"

namespace {

TEST(NativePlatform, RemoveIfUnchangedDeletesOnlyTheFileItsIdentityWasTakenOf) {
  Platform& os = NativePlatform();
  TempDir dir;
  const Bytes log = dir / "x.zip.log";
  FileIdentity read;

  WriteBytes(log, "first");
  ASSERT_EQ(os.IdentityAt(log, &read), 0);
  EXPECT_EQ(os.RemoveIfUnchanged(log, read), 0);
  EXPECT_FALSE(Exists(log));
  EXPECT_EQ(os.RemoveIfUnchanged(log, read), kErrorFileNotFound);

  // An uploader renames a new log over the one the run read.
  WriteBytes(log, "first");
  ASSERT_EQ(os.IdentityAt(log, &read), 0);
  WriteBytes(dir / "upload.tmp", "first");
  RenameOver(dir / "upload.tmp", log);
  EXPECT_EQ(os.RemoveIfUnchanged(log, read), kErrorFileChanged);
  EXPECT_EQ(ReadBytes(log), "first");

  // Or writes more into it.
  ASSERT_EQ(os.IdentityAt(log, &read), 0);
  WriteBytes(log, "first, then more");
  EXPECT_EQ(os.RemoveIfUnchanged(log, read), kErrorFileChanged);
  EXPECT_EQ(ReadBytes(log), "first, then more");
  ASSERT_EQ(os.IdentityAt(log, &read), 0);
  EXPECT_EQ(os.RemoveIfUnchanged(log, read), 0);
  EXPECT_FALSE(Exists(log));

  // Or rewrites it in place to the same size, once the file time has
  // ticked: the same file, another log. The identity the run takes of the
  // open log is the one the deletion compares.
  WriteBytes(log, "first");
  FileHandle file = kNoFile;
  ASSERT_EQ(os.Open(log, OpenMode::kRead, &file), 0);
  ASSERT_EQ(os.Identify(file, &read), 0);
  EXPECT_EQ(os.Close(file), 0);
  FileIdentity at;
  ASSERT_EQ(os.IdentityAt(log, &at), 0);
  EXPECT_TRUE(at == read);
  PauseMilliseconds(50);
  WriteBytes(log, "FIRST");
  EXPECT_EQ(os.RemoveIfUnchanged(log, read), kErrorFileChanged);
  EXPECT_EQ(ReadBytes(log), "FIRST");
}

}  // namespace
