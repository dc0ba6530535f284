// The platform on the real file system, in both builds: the deletion of a
// log, where only the file whose identity the run took goes, whatever took
// its name since; and a file's ranges of data and the holes between them.

#include "platform/platform.h"

#include <gtest/gtest.h>

#include <vector>

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

// A file of data, a hole where the file system keeps holes, data again and
// a hole to its end, read range by range as DataRange tells them: a hole
// reads as zeros, each range's data is read from where the position was
// left, and together they are the file. Where the identity says the file
// may have holes (Linux: fewer blocks than its size), they are told; where
// the system cannot tell them (Wine), the rest of the file is one range.
TEST(NativePlatform, DataRangesAndTheHolesBetweenThemMakeUpTheFile) {
  Platform& os = NativePlatform();
  TempDir dir;
  const Bytes path = dir / "sparse.img.log";
  const std::int64_t gap = std::int64_t{8} << 20;
  FileHandle file = kNoFile;
  ASSERT_EQ(os.Open(path, OpenMode::kCreate, &file), 0);
  std::size_t done = 0;
  ASSERT_EQ(os.Write(file, "head", 4, &done), 0);
  ASSERT_EQ(os.Seek(file, gap, SeekOrigin::kBegin, nullptr), 0);
  ASSERT_EQ(os.Truncate(file), 0);
  ASSERT_EQ(os.Write(file, "tail", 4, &done), 0);  // at the end, where the file grew to
  ASSERT_EQ(os.Seek(file, 2 * gap, SeekOrigin::kBegin, nullptr), 0);
  ASSERT_EQ(os.Truncate(file), 0);
  ASSERT_EQ(os.Close(file), 0);
  Bytes expected(static_cast<std::size_t>(2 * gap), '\0');
  expected.replace(0, 4, "head");
  expected.replace(static_cast<std::size_t>(gap), 4, "tail");

  ASSERT_EQ(os.Open(path, OpenMode::kRead, &file), 0);
  FileIdentity identity;
  ASSERT_EQ(os.Identify(file, &identity), 0);
  ASSERT_EQ(identity.size, 2 * gap);
  Bytes seen;
  int holes = 0;
  for (std::int64_t from = 0;;) {
    std::int64_t start = -1;
    std::int64_t end = -1;
    ASSERT_EQ(os.DataRange(file, from, &start, &end), 0);
    ASSERT_LE(from, start);
    ASSERT_LE(start, end);
    holes += start > from ? 1 : 0;
    seen.append(static_cast<std::size_t>(start - from), '\0');
    if (start == end) {
      EXPECT_EQ(start, identity.size);
      break;
    }
    std::vector<char> data(static_cast<std::size_t>(end - start));
    std::size_t got = 0;
    for (std::size_t n = 0; n < data.size(); n += got) {
      ASSERT_EQ(os.Read(file, data.data() + n, data.size() - n, &got), 0);
      ASSERT_GT(got, 0u);
    }
    seen.append(data.data(), data.size());
    from = end;
    if (from == identity.size) break;
  }
  EXPECT_TRUE(seen == expected);
  if (identity.may_have_holes) {
    EXPECT_EQ(holes, 2);
  }
  // From within the data, and from past the end.
  std::int64_t start = -1;
  std::int64_t end = -1;
  EXPECT_EQ(os.DataRange(file, 2, &start, &end), 0);
  EXPECT_EQ(start, 2);
  char two[2];
  EXPECT_EQ(os.Read(file, two, 2, &done), 0);
  EXPECT_EQ(Bytes(two, done), "ad");
  EXPECT_EQ(os.DataRange(file, 3 * gap, &start, &end), 0);
  EXPECT_EQ(start, 3 * gap);
  EXPECT_EQ(end, 3 * gap);
  EXPECT_EQ(os.Close(file), 0);

  // A file of data alone is one range.
  WriteBytes(dir / "plain.log", "plain");
  ASSERT_EQ(os.Open(dir / "plain.log", OpenMode::kRead, &file), 0);
  EXPECT_EQ(os.DataRange(file, 0, &start, &end), 0);
  EXPECT_EQ(start, 0);
  EXPECT_EQ(end, 5);
  EXPECT_EQ(os.Close(file), 0);
}

}  // namespace
