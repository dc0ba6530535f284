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
}

}  // namespace
