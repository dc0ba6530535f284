// The Win32 platform itself: the codes and answers the run relies on.

#include <gtest/gtest.h>
#include <windows.h>
#include <winioctl.h>

// After windows.h, which they need.
#include <aclapi.h>
#include <sddl.h>

#include <algorithm>
#include <vector>

#include "platform/platform.h"
#include "test_support.h"

namespace {

Platform& os = NativePlatform();
int in_this_image = 0;

// The access list of an open file, as text.
Bytes AccessListOf(FileHandle file) {
  PSECURITY_DESCRIPTOR security = nullptr;
  if (GetSecurityInfo(reinterpret_cast<HANDLE>(file), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr,
                      nullptr, nullptr, &security) != ERROR_SUCCESS) {
    return "(none)";
  }
  LPSTR text = nullptr;
  Bytes result = "(no text)";
  if (ConvertSecurityDescriptorToStringSecurityDescriptorA(security, SDDL_REVISION_1, DACL_SECURITY_INFORMATION, &text,
                                                           nullptr)) {
    result = text;
    LocalFree(text);
  }
  LocalFree(security);
  return result;
}

TEST(Win32Platform, ExistenceFollowsTheFindAndAttributeRules) {
  TempDir dir;
  WriteBytes(dir / "file.zip", "z");
  MakeDirectory(dir / "sub");
  EXPECT_TRUE(os.IsExistingFile(dir / "file.zip"));
  EXPECT_TRUE(os.IsExistingFile(dir / "FILE.ZIP"));
  EXPECT_TRUE(os.IsExistingFile(dir / "*.zip"));  // the first match is a file
  EXPECT_FALSE(os.IsExistingFile(dir / "s*"));    // the first match is a directory
  EXPECT_FALSE(os.IsExistingFile(dir / "sub"));
  EXPECT_FALSE(os.IsExistingFile(dir / "none"));
  EXPECT_TRUE(os.IsExistingDirectory(dir / "sub"));
  EXPECT_TRUE(os.IsExistingDirectory(dir / "SUB\\"));
  EXPECT_TRUE(os.IsExistingDirectory(dir.Path()));
  EXPECT_FALSE(os.IsExistingDirectory(dir / "file.zip"));
  EXPECT_FALSE(os.IsExistingDirectory(dir / "none"));
}

TEST(Win32Platform, FindMatchesWithoutRegardToCaseAndEndsWith18) {
  TempDir dir;
  WriteBytes(dir / "a.log", "");
  WriteBytes(dir / "B.LOG", "");
  WriteBytes(dir / "c.log.txt", "");
  WriteBytes(dir / "log", "");
  FindHandle find = nullptr;
  FoundEntry entry;
  ASSERT_EQ(os.FindFirst(dir / "*.log", &find, &entry), 0);
  std::vector<Bytes> names{entry.name};
  int end = 0;
  while ((end = os.FindNext(find, &entry)) == 0) names.push_back(entry.name);
  os.FindEnd(find);
  EXPECT_EQ(end, kErrorNoMoreFiles);
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<Bytes>{"B.LOG", "a.log"}));
  // No match at all is an error as well; the code is the platform's own.
  EXPECT_NE(os.FindFirst(dir / "*.none", &find, &entry), 0);
  EXPECT_EQ(os.FindFirst(dir / "missing\\*.log", &find, &entry), kErrorPathNotFound);
}

TEST(Win32Platform, OpenFailsWithTheCodesTheRunReports) {
  TempDir dir;
  FileHandle file = kNoFile;
  EXPECT_EQ(os.Open(dir / "none", OpenMode::kRead, &file), kErrorFileNotFound);
  EXPECT_EQ(os.Open(dir / "none", OpenMode::kAppend, &file), kErrorFileNotFound);
  EXPECT_EQ(os.Open(dir / "none\\list", OpenMode::kCreate, &file), kErrorPathNotFound);
  MakeDirectory(dir / "sub");
  EXPECT_EQ(os.Open(dir / "sub", OpenMode::kRead, &file), kErrorAccessDenied);
  EXPECT_EQ(file, kNoFile);
}

// A reader shares reading only: a writer that holds the file keeps it out,
// and while it is open nobody else may write it.
TEST(Win32Platform, OpenSharesReadingOnly) {
  TempDir dir;
  WriteBytes(dir / "log", "text");
  FileHandle file = kNoFile;
  {
    const HANDLE writer =
        CreateFileA((dir / "log").c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(writer, INVALID_HANDLE_VALUE);
    EXPECT_EQ(os.Open(dir / "log", OpenMode::kRead, &file), kErrorSharingViolation);
    CloseHandle(writer);
  }
  for (OpenMode mode : {OpenMode::kRead, OpenMode::kAppend, OpenMode::kCreate}) {
    if (mode == OpenMode::kCreate) DeleteFileA((dir / "log").c_str());  // creating wants a new file
    ASSERT_EQ(os.Open(dir / "log", mode, &file), 0);
    FileHandle second = kNoFile;
    EXPECT_EQ(os.Open(dir / "log", OpenMode::kAppend, &second), kErrorSharingViolation);
    const HANDLE reader = CreateFileA((dir / "log").c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                      OPEN_EXISTING, 0, nullptr);
    EXPECT_NE(reader, INVALID_HANDLE_VALUE) << "a reader is let in";
    if (reader != INVALID_HANDLE_VALUE) CloseHandle(reader);
    EXPECT_EQ(os.Close(file), 0);
  }
}

TEST(Win32Platform, CreateMakesANewFileThatIsWrittenSeekedAndCut) {
  TempDir dir;
  WriteBytes(dir / "old", "old content");
  FileHandle file = kNoFile;
  EXPECT_EQ(os.Open(dir / "old", OpenMode::kCreate, &file), kErrorFileExists);
  EXPECT_EQ(ReadBytes(dir / "old"), "old content");
  ASSERT_EQ(os.Open(dir / "list", OpenMode::kCreate, &file), 0);
  std::int64_t size = -1;
  EXPECT_EQ(os.Size(file, &size), 0);
  EXPECT_EQ(size, 0);
  std::size_t done = 0;
  EXPECT_EQ(os.Write(file, "abcdef", 6, &done), 0);
  EXPECT_EQ(done, 6u);
  std::int64_t position = -1;
  EXPECT_EQ(os.Seek(file, -2, SeekOrigin::kEnd, &position), 0);
  EXPECT_EQ(position, 4);
  EXPECT_EQ(os.Truncate(file), 0);
  EXPECT_EQ(os.Seek(file, 0, SeekOrigin::kCurrent, &position), 0);
  EXPECT_EQ(position, 4);
  EXPECT_EQ(os.Sync(file), 0);
  EXPECT_NE(os.Seek(file, -10, SeekOrigin::kBegin, &position), 0);  // before the start
  EXPECT_EQ(os.Close(file), 0);
  EXPECT_EQ(ReadBytes(dir / "list"), "abcd");

  ASSERT_EQ(os.Open(dir / "list", OpenMode::kRead, &file), 0);
  char buffer[16];
  EXPECT_EQ(os.Read(file, buffer, sizeof buffer, &done), 0);
  EXPECT_EQ(Bytes(buffer, done), "abcd");
  EXPECT_EQ(os.Read(file, buffer, sizeof buffer, &done), 0);
  EXPECT_EQ(done, 0u);                          // the end
  EXPECT_NE(os.Write(file, "x", 1, &done), 0);  // opened for reading only
  EXPECT_EQ(os.Close(file), 0);
}

// Sizes and positions past 4 GiB keep their high part: a sparse file of
// 5 GiB and 7 bytes, made by a seek and a cut.
TEST(Win32Platform, SizesAndSeeksPastFourGigabytes) {
  TempDir dir;
  FileHandle file = kNoFile;
  ASSERT_EQ(os.Open(dir / "big", OpenMode::kCreate, &file), 0);
  const std::int64_t size = (std::int64_t{5} << 30) + 7;
  std::int64_t position = -1;
  ASSERT_EQ(os.Seek(file, size, SeekOrigin::kBegin, &position), 0);
  EXPECT_EQ(position, size);
  ASSERT_EQ(os.Truncate(file), 0);
  std::int64_t found = -1;
  EXPECT_EQ(os.Size(file, &found), 0);
  EXPECT_EQ(found, size);
  EXPECT_EQ(os.Seek(file, -3, SeekOrigin::kEnd, &position), 0);
  EXPECT_EQ(position, size - 3);
  FileIdentity identity;
  EXPECT_EQ(os.Identify(file, &identity), 0);
  EXPECT_EQ(identity.size, size);
  EXPECT_EQ(os.Close(file), 0);
  EXPECT_EQ(os.Remove(dir / "big"), 0);
}

// A file marked sparse, its middle made a hole (FSCTL_SET_ZERO_DATA): NTFS
// marks it, and DataRange tells its allocated ranges; from within the hole,
// the next range holds the tail. Wine marks no file sparse and answers the
// query with 50, not supported: there the rest of the file is one range.
// Either way the position is left at the range's start.
TEST(Win32Platform, ASparseFileTellsItsHolesWhereTheFileSystemKeepsThem) {
  TempDir dir;
  const Bytes path = dir / "sparse.log";
  const std::int64_t size = std::int64_t{64} << 20;
  const HANDLE handle =
      CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(handle, INVALID_HANDLE_VALUE);
  DWORD count = 0;
  DeviceIoControl(handle, FSCTL_SET_SPARSE, nullptr, 0, nullptr, 0, &count, nullptr);
  LARGE_INTEGER at;
  at.QuadPart = size - 4;
  EXPECT_TRUE(WriteFile(handle, "head", 4, &count, nullptr));
  EXPECT_TRUE(SetFilePointerEx(handle, at, nullptr, FILE_BEGIN));
  EXPECT_TRUE(WriteFile(handle, "tail", 4, &count, nullptr));
  FILE_ZERO_DATA_INFORMATION zero;
  zero.FileOffset.QuadPart = std::int64_t{1} << 20;
  zero.BeyondFinalZero.QuadPart = size - (std::int64_t{1} << 20);
  DeviceIoControl(handle, FSCTL_SET_ZERO_DATA, &zero, sizeof zero, nullptr, 0, &count, nullptr);
  CloseHandle(handle);

  FileHandle file = kNoFile;
  ASSERT_EQ(os.Open(path, OpenMode::kRead, &file), 0);
  FileIdentity identity;
  ASSERT_EQ(os.Identify(file, &identity), 0);
  const std::int64_t in_hole = std::int64_t{8} << 20;
  std::int64_t start = -1;
  std::int64_t end = -1;
  ASSERT_EQ(os.DataRange(file, in_hole, &start, &end), 0);
  if (identity.may_have_holes) {
    EXPECT_GT(start, in_hole);
    EXPECT_LE(start, size - 4);
  } else {
    EXPECT_EQ(start, in_hole);
  }
  EXPECT_EQ(end, size);
  std::vector<char> rest(static_cast<std::size_t>(end - start));
  std::size_t got = 0;
  for (std::size_t n = 0; n < rest.size(); n += got) {
    ASSERT_EQ(os.Read(file, rest.data() + n, rest.size() - n, &got), 0);
    ASSERT_GT(got, 0u);
  }
  EXPECT_EQ(Bytes(rest.end() - 4, rest.end()), "tail");
  EXPECT_TRUE(std::all_of(rest.begin(), rest.end() - 4, [](char c) { return c == 0; }));
  EXPECT_EQ(os.DataRange(file, size, &start, &end), 0);
  EXPECT_EQ(start, size);
  EXPECT_EQ(end, size);
  EXPECT_EQ(os.Close(file), 0);
}

// A file is told by its volume and index, and a change by its size or its
// last write time; the identity at a path is that of the file there now.
TEST(Win32Platform, IdentityTellsTheFileAndItsChanges) {
  TempDir dir;
  WriteBytes(dir / "a.log", "first");
  WriteBytes(dir / "b.log", "first");
  FileHandle file = kNoFile;
  ASSERT_EQ(os.Open(dir / "a.log", OpenMode::kRead, &file), 0);
  FileIdentity read;
  EXPECT_EQ(os.Identify(file, &read), 0);
  EXPECT_EQ(read.size, 5);
  FileIdentity at;
  EXPECT_EQ(os.IdentityAt(dir / "a.log", &at), 0);  // while it is open, shared for reading only
  EXPECT_EQ(at, read);
  EXPECT_EQ(os.Close(file), 0);
  FileIdentity other;
  EXPECT_EQ(os.IdentityAt(dir / "b.log", &other), 0);
  EXPECT_FALSE(SameFile(other, read));
  ASSERT_TRUE(MoveFileExA((dir / "b.log").c_str(), (dir / "a.log").c_str(), MOVEFILE_REPLACE_EXISTING));
  EXPECT_EQ(os.IdentityAt(dir / "a.log", &at), 0);
  EXPECT_FALSE(SameFile(at, read));
  WriteBytes(dir / "a.log", "second!");
  FileIdentity rewritten;
  EXPECT_EQ(os.IdentityAt(dir / "a.log", &rewritten), 0);
  EXPECT_NE(rewritten, at);
  EXPECT_EQ(os.IdentityAt(dir / "none", &at), kErrorFileNotFound);
}

TEST(Win32Platform, KindTellsDiskDeviceAndPipe) {
  TempDir dir;
  WriteBytes(dir / "file", "");
  HandleKind kind = HandleKind::kUnknown;
  FileHandle file = kNoFile;
  ASSERT_EQ(os.Open(dir / "file", OpenMode::kRead, &file), 0);
  EXPECT_EQ(os.Kind(file, &kind), 0);
  EXPECT_EQ(kind, HandleKind::kDisk);
  os.Close(file);
  ASSERT_EQ(os.Open(kNullDevice, OpenMode::kAppend, &file), 0);
  EXPECT_EQ(os.Kind(file, &kind), 0);
  EXPECT_EQ(kind, HandleKind::kCharacter);
  os.Close(file);
  HANDLE read_end = nullptr, write_end = nullptr;
  ASSERT_TRUE(CreatePipe(&read_end, &write_end, nullptr, 0));
  EXPECT_EQ(os.Kind(reinterpret_cast<FileHandle>(write_end), &kind), 0);
  EXPECT_EQ(kind, HandleKind::kPipe);
  CloseHandle(read_end);
  CloseHandle(write_end);
  // No handle at all is of unknown kind, which the line file refuses with 105.
  kind = HandleKind::kDisk;
  EXPECT_EQ(os.Kind(0, &kind), 0);
  EXPECT_EQ(kind, HandleKind::kUnknown);
}

// The deletion goes through a handle that shares reading and deleting only:
// a log an uploader still writes stays.
TEST(Win32Platform, ALogStillOpenForWritingIsNotDeleted) {
  TempDir dir;
  const Bytes log = dir / "x.zip.log";
  WriteBytes(log, "first");
  FileIdentity read;
  ASSERT_EQ(os.IdentityAt(log, &read), 0);
  const HANDLE uploader =
      CreateFileA(log.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(uploader, INVALID_HANDLE_VALUE);
  EXPECT_EQ(os.RemoveIfUnchanged(log, read), ERROR_SHARING_VIOLATION);
  CloseHandle(uploader);
  EXPECT_TRUE(Exists(log));
  EXPECT_EQ(os.RemoveIfUnchanged(log, read), 0);
  EXPECT_FALSE(Exists(log));
}

TEST(Win32Platform, DeleteReportsAMissingFile) {
  TempDir dir;
  WriteBytes(dir / "a.log", "");
  EXPECT_EQ(os.Remove(dir / "a.log"), 0);
  EXPECT_FALSE(Exists(dir / "a.log"));
  EXPECT_EQ(os.Remove(dir / "a.log"), kErrorFileNotFound);
}

TEST(Win32Platform, ProcessFacts) {
  EXPECT_EQ(os.Style(), PathStyle::kWindows);
  EXPECT_FALSE(os.NamesAreUtf8());
  // The tests run under the ANSI code page Windows-1251, whose 0xE9 is the
  // Cyrillic small letter short i and 0x88 the euro sign; ASCII is the same
  // in every ANSI code page.
  EXPECT_EQ(os.NameToUtf8("pic.zip"), "pic.zip");
  EXPECT_EQ(os.NameToUtf8("\xE9\x88.zip"), "\xD0\xB9\xE2\x82\xAC.zip");
  EXPECT_EQ(os.UpperCase("-f x\xE9"), "-F X\xC9");  // Windows-1252 or -1251: both upper-case 0xE9 to 0xC9
  EXPECT_EQ(os.UpperCase(""), "");
  const Bytes program = os.ProgramPath();
  EXPECT_EQ(program.substr(program.size() - 4), ".exe") << program;
  EXPECT_NE(program.find(":\\"), Bytes::npos) << program;
  // The image that holds this program's data starts at the module's base.
  const void* base = os.ImageBase(&in_this_image);
  ASSERT_NE(base, nullptr);
  EXPECT_EQ(base, static_cast<const void*>(GetModuleHandleA(nullptr)));
  EXPECT_EQ(os.ImageBase(nullptr), nullptr);
}

}  // namespace

namespace {

// The new file of a list's replacement is made with the list's access list,
// not with what its directory would give a new file: an account the list
// keeps out is kept out of the new file from its first moment.
TEST(Win32Platform, ANewFileIsMadeWithTheAccessListOfItsModel) {
  TempDir dir;
  WriteBytes(dir / "list", "x");
  PSECURITY_DESCRIPTOR wanted = nullptr;
  // Full access for the administrators and the system, nothing for anyone
  // else, protected from what the directory would add. (Wine keeps a file's
  // access in its Unix mode: its owner's and everyone else's bits.)
  ASSERT_TRUE(ConvertStringSecurityDescriptorToSecurityDescriptorA("D:P(A;;FA;;;BA)(A;;FA;;;SY)", SDDL_REVISION_1,
                                                                   &wanted, nullptr));
  const bool set = SetFileSecurityA((dir / "list").c_str(), DACL_SECURITY_INFORMATION, wanted);
  LocalFree(wanted);
  ASSERT_TRUE(set);
  FileHandle model = kNoFile;
  ASSERT_EQ(os.Open(dir / "list", OpenMode::kAppend, &model), 0);
  FileHandle made = kNoFile;
  ASSERT_EQ(os.CreateLike(dir / "new", model, &made), 0);
  ASSERT_EQ(AccessListOf(model).find(";WD)"), Bytes::npos) << AccessListOf(model);
  EXPECT_EQ(AccessListOf(made), AccessListOf(model));
  // Held as a list is: others may read it, not write it.
  EXPECT_EQ(CreateFileA((dir / "new").c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                        OPEN_EXISTING, 0, nullptr),
            INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
  FileHandle again = kNoFile;
  EXPECT_EQ(os.CreateLike(dir / "new", model, &again), kErrorFileExists);
  EXPECT_EQ(os.Close(made), 0);
  EXPECT_EQ(os.Close(model), 0);
}

}  // namespace
