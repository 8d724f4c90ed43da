// The file-system behaviours the program relies on. The same suite runs on
// the simulated Windows (host) and on the real API under Wine: where they
// disagree, the simulation is wrong.
#include <gtest/gtest.h>

#include <algorithm>
#include <set>
#include <string>

#include "platform/platform.h"
#include "support/fixture.h"
#include "support/scratch.h"

namespace {

using platform::kAttributeDirectory;
using platform::kAttributeReadOnly;

class FileSystemContractTest : public PlatformTest {
 protected:
  void SetUp() override {
    PlatformTest::SetUp();
    root_ = scratch::MakeFolder();
  }
  void TearDown() override {
    scratch::RemoveFolder(root_);
    PlatformTest::TearDown();
  }

  WideString Path(const WideString& relative) const { return root_ + u"\\" + relative; }
  std::uint32_t Attributes(const WideString& relative) const {
    return platform::GetFileAttributesW(Path(relative).c_str());
  }
  void Write(const WideString& relative, const std::string& content) const {
    ASSERT_TRUE(scratch::WriteFile(Path(relative), content));
  }
  std::optional<std::string> Read(const WideString& relative) const {
    return scratch::ReadFile(Path(relative));
  }
  bool MakeFolder(const WideString& relative) const {
    return platform::CreateDirectoryW(Path(relative).c_str()) != platform::kFalse;
  }

  // Lists the folder the way DeleteFilesInDir walks it, deleting each plain
  // file right after it was returned.
  std::vector<std::pair<std::string, std::uint32_t>> ListDeletingFiles(const WideString& folder) {
    std::vector<std::pair<std::string, std::uint32_t>> seen;
    platform::FindData data{};
    const platform::Handle search =
        platform::FindFirstFileW((Path(folder) + u"\\*").c_str(), &data);
    if (search == platform::kInvalidHandle) return seen;
    do {
      const WideString name = data.cFileName;
      seen.emplace_back(std::string(name.begin(), name.end()), data.dwFileAttributes);
      if (!(data.dwFileAttributes & kAttributeDirectory)) {
        platform::DeleteFileW((Path(folder) + u"\\" + name).c_str());
      }
    } while (platform::FindNextFileW(search, &data));
    platform::FindClose(search);
    return seen;
  }

  WideString root_;
};

TEST_F(FileSystemContractTest, CopyReplacesAnExistingTargetAndKeepsTheSource) {
  Write(u"new.dll", "new content");
  Write(u"old.dll", "old");
  EXPECT_NE(
      platform::CopyFileW(Path(u"new.dll").c_str(), Path(u"old.dll").c_str(), platform::kFalse),
      platform::kFalse);
  EXPECT_EQ(Read(u"old.dll"), "new content");
  EXPECT_EQ(Read(u"new.dll"), "new content");

  // Into a folder where nothing of that name stands yet.
  ASSERT_TRUE(MakeFolder(u"app"));
  EXPECT_NE(platform::CopyFileW(Path(u"new.dll").c_str(), Path(u"app\\fresh.dll").c_str(),
                                platform::kFalse),
            platform::kFalse);
  EXPECT_EQ(Read(u"app\\fresh.dll"), "new content");
}

TEST_F(FileSystemContractTest, CopyIntoAMissingFolderFailsAndCreatesNothing) {
  Write(u"a.dll", "a");
  EXPECT_EQ(platform::CopyFileW(Path(u"a.dll").c_str(), Path(u"missing\\a.dll").c_str(),
                                platform::kFalse),
            platform::kFalse);
  EXPECT_EQ(Attributes(u"missing"), platform::kInvalidFileAttributes);
  EXPECT_EQ(Read(u"a.dll"), "a");
}

TEST_F(FileSystemContractTest, CopyOverAReadOnlyTargetFailsAndLeavesIt) {
  Write(u"new.dll", "new");
  Write(u"old.dll", "old");
  ASSERT_NE(platform::SetFileAttributesW(Path(u"old.dll").c_str(), 0x21), platform::kFalse);
  EXPECT_EQ(
      platform::CopyFileW(Path(u"new.dll").c_str(), Path(u"old.dll").c_str(), platform::kFalse),
      platform::kFalse);
  EXPECT_EQ(Read(u"old.dll"), "old");
}

TEST_F(FileSystemContractTest, MoveReplacesOnlyWhenAsked) {
  const auto move = [&](const WideString& from, const WideString& to, std::uint32_t flags) {
    return platform::MoveFileExW(Path(from).c_str(), Path(to).c_str(), flags) != platform::kFalse;
  };
  // A leading blank is part of a name: the launch library's partial copies rely on it.
  Write(u" ~new.dll", "new");
  Write(u"old.dll", "old");
  EXPECT_FALSE(move(u" ~new.dll", u"old.dll", 0));
  EXPECT_TRUE(move(u" ~new.dll", u"old.dll", platform::kMoveFileReplaceExisting));
  EXPECT_EQ(Read(u"old.dll"), "new");
  EXPECT_EQ(Attributes(u" ~new.dll"), platform::kInvalidFileAttributes);
  EXPECT_EQ(Attributes(u"~new.dll"), platform::kInvalidFileAttributes);
  // Over a read-only file Windows refuses and Wine does not: nothing relies on either.
}

TEST_F(FileSystemContractTest, DoubledBackslashCountsAsOneSeparator) {
  ASSERT_TRUE(MakeFolder(u"app"));
  Write(u"core.dll", "v2");
  Write(u"app\\core.dll", "v1");
  const WideString doubled = Path(u"app\\\\core.dll");
  EXPECT_EQ(platform::GetFileAttributesW(doubled.c_str()), Attributes(u"app\\core.dll"));
  EXPECT_NE(platform::CopyFileW(Path(u"core.dll").c_str(), doubled.c_str(), platform::kFalse),
            platform::kFalse);
  EXPECT_EQ(Read(u"app\\core.dll"), "v2");
  EXPECT_NE(platform::DeleteFileW(doubled.c_str()), platform::kFalse);
  EXPECT_EQ(Attributes(u"app\\core.dll"), platform::kInvalidFileAttributes);
}

TEST_F(FileSystemContractTest, LookupIgnoresLetterCase) {
  ASSERT_TRUE(MakeFolder(u"Update_Temp"));
  Write(u"Update_Temp\\Core.DLL", "x");
  EXPECT_EQ(Attributes(u"UPDATE_TEMP\\core.dll"), Attributes(u"Update_Temp\\Core.DLL"));
  EXPECT_NE(Attributes(u"update_temp"), platform::kInvalidFileAttributes);
  EXPECT_FALSE(MakeFolder(u"UPDATE_TEMP"));  // it is already there
  EXPECT_NE(platform::DeleteFileW(Path(u"UPDATE_TEMP\\CORE.dll").c_str()), platform::kFalse);
  EXPECT_EQ(Attributes(u"Update_Temp\\Core.DLL"), platform::kInvalidFileAttributes);
}

// Beyond a-z too, and the comparison folds as the volume does: the launch
// library finds two names for one file with it.
TEST_F(FileSystemContractTest, LetterCaseFoldsBeyondAsciiInLookupsAndComparisons) {
  const auto compare = [](const WideString& a, const WideString& b) {
    return platform::CompareStringOrdinal(a.c_str(), -1, b.c_str(), -1, platform::kTrue);
  };
  const std::pair<WideString, WideString> oneFile[] = {
      {u"\u00E9", u"\u00C9"}, {u"\u00FF", u"\u0178"}, {u"\u0101", u"\u0100"},
      {u"\u013A", u"\u0139"}, {u"\u03C3", u"\u03A3"}, {u"\u0431", u"\u0411"},
      {u"\u0451", u"\u0401"}, {u"\u0561", u"\u0531"}, {u"\u2170", u"\u2160"},
      {u"\u24D0", u"\u24B6"}, {u"\uFF41", u"\uFF21"}};
  for (const auto& [lower, upper] : oneFile) {
    Write(u"x" + lower + u".txt", "x");
    EXPECT_NE(Attributes(u"X" + upper + u".TXT"), platform::kInvalidFileAttributes)
        << int(upper[0]);
    EXPECT_EQ(compare(u"x" + lower, u"X" + upper), platform::kCstrEqual) << int(upper[0]);
  }
  const std::pair<WideString, WideString> twoFiles[] = {
      {u"\u00DF", u"SS"}, {u"\u0131", u"I"}, {u"\u00B5", u"\u039C"}, {u"e", u"\u00E9"}};
  for (const auto& [a, b] : twoFiles) {
    Write(u"y" + a + u".txt", "y");
    EXPECT_EQ(Attributes(u"y" + b + u".txt"), platform::kInvalidFileAttributes) << int(b[0]);
    EXPECT_NE(compare(u"y" + a, u"y" + b), platform::kCstrEqual) << int(b[0]);
  }
  EXPECT_EQ(compare(u"a_", u"aB"), platform::kCstrGreaterThan);  // ordered as upper case
}

TEST_F(FileSystemContractTest, ReadOnlyFileResistsDeletionUntilItsAttributesAreReset) {
  Write(u"staged.dll", "x");
  ASSERT_NE(platform::SetFileAttributesW(Path(u"staged.dll").c_str(), 0x21), platform::kFalse);
  EXPECT_EQ(Attributes(u"staged.dll"), 0x21u);
  EXPECT_EQ(platform::DeleteFileW(Path(u"staged.dll").c_str()), platform::kFalse);
  EXPECT_EQ(Read(u"staged.dll"), "x");

  ASSERT_NE(platform::SetFileAttributesW(Path(u"staged.dll").c_str(), platform::kAttributeNormal),
            platform::kFalse);
  EXPECT_EQ(Attributes(u"staged.dll") & kAttributeReadOnly, 0u);
  EXPECT_NE(platform::DeleteFileW(Path(u"staged.dll").c_str()), platform::kFalse);
  EXPECT_EQ(Attributes(u"staged.dll"), platform::kInvalidFileAttributes);
}

TEST_F(FileSystemContractTest, HiddenAndSystemAttributesReadBackExactly) {
  Write(u"h.dat", "h");
  ASSERT_NE(platform::SetFileAttributesW(Path(u"h.dat").c_str(), 0x26), platform::kFalse);
  EXPECT_EQ(Attributes(u"h.dat"), 0x26u);
  EXPECT_NE(platform::DeleteFileW(Path(u"h.dat").c_str()), platform::kFalse);
}

TEST_F(FileSystemContractTest, DeleteNeverRemovesAFolder) {
  ASSERT_TRUE(MakeFolder(u"sub"));
  Write(u"sub\\inner.txt", "i");
  EXPECT_EQ(platform::DeleteFileW(Path(u"sub").c_str()), platform::kFalse);
  EXPECT_EQ(Attributes(u"sub"), kAttributeDirectory);
  EXPECT_EQ(Read(u"sub\\inner.txt"), "i");
  EXPECT_EQ(platform::DeleteFileW(Path(u"missing.txt").c_str()), platform::kFalse);
}

TEST_F(FileSystemContractTest, CreateDirectoryNeedsAnExistingParent) {
  EXPECT_FALSE(MakeFolder(u"root\\staging"));
  EXPECT_EQ(Attributes(u"root"), platform::kInvalidFileAttributes);
  EXPECT_TRUE(MakeFolder(u"root"));
  EXPECT_TRUE(MakeFolder(u"root\\staging"));
  EXPECT_EQ(Attributes(u"root\\staging"), kAttributeDirectory);

  // A file holds the name: no folder can be made there, nor below it.
  Write(u"UPDATE_TEMP", "not a folder");
  EXPECT_FALSE(MakeFolder(u"UPDATE_TEMP"));
  EXPECT_FALSE(MakeFolder(u"UPDATE_TEMP\\x"));
  EXPECT_EQ(Read(u"UPDATE_TEMP"), "not a folder");
}

TEST_F(FileSystemContractTest, MissingPathHasInvalidAttributesAndAFileIsNoFolder) {
  EXPECT_EQ(Attributes(u"nothing"), platform::kInvalidFileAttributes);
  EXPECT_EQ(platform::GetFileAttributesW(u""), platform::kInvalidFileAttributes);
  Write(u"plain.txt", "p");
  EXPECT_EQ(Attributes(u"plain.txt") & kAttributeDirectory, 0u);
  EXPECT_EQ(Attributes(u"plain.txt\\below"), platform::kInvalidFileAttributes);
}

TEST_F(FileSystemContractTest, SearchGoesOnAfterEachReturnedFileIsDeleted) {
  ASSERT_TRUE(MakeFolder(u"cache"));
  std::set<std::string> files;
  for (int i = 0; i < 40; ++i) {
    const std::string name = "f" + std::to_string(i) + ".tmp";
    files.insert(name);
    Write(u"cache\\" + WideString(name.begin(), name.end()), "x");
  }
  ASSERT_TRUE(MakeFolder(u"cache\\sub"));

  std::set<std::string> seen_files;
  int dots = 0;
  bool saw_sub = false;
  for (const auto& [name, attributes] : ListDeletingFiles(u"cache")) {
    if (name == "." || name == "..") {
      ++dots;
      EXPECT_EQ(attributes, kAttributeDirectory) << name;
    } else if (name == "sub") {
      saw_sub = true;
      EXPECT_EQ(attributes, kAttributeDirectory);
    } else {
      EXPECT_TRUE(seen_files.insert(name).second) << name << " returned twice";
    }
  }
  EXPECT_EQ(dots, 2);
  EXPECT_TRUE(saw_sub);
  EXPECT_EQ(seen_files, files);
  for (const std::string& name : files) {
    EXPECT_EQ(Attributes(u"cache\\" + WideString(name.begin(), name.end())),
              platform::kInvalidFileAttributes);
  }
}

TEST_F(FileSystemContractTest, DotEntryCarriesTheFolderOwnAttributes) {
  ASSERT_TRUE(MakeFolder(u"cache"));
  ASSERT_TRUE(MakeFolder(u"cache\\hidden"));
  ASSERT_NE(platform::SetFileAttributesW(Path(u"cache\\hidden").c_str(), 0x12), platform::kFalse);
  EXPECT_EQ(Attributes(u"cache\\hidden"), 0x12u);

  std::uint32_t dot = 0, dotdot = 0;
  for (const auto& [name, attributes] : ListDeletingFiles(u"cache\\hidden")) {
    if (name == ".") dot = attributes;
    if (name == "..") dotdot = attributes;
  }
  EXPECT_EQ(dot, 0x12u);
  EXPECT_EQ(dotdot, kAttributeDirectory);
}

TEST_F(FileSystemContractTest, SearchOfAMissingFolderFails) {
  platform::FindData data{};
  EXPECT_EQ(platform::FindFirstFileW(Path(u"absent\\*").c_str(), &data), platform::kInvalidHandle);
}

// Handles: what the updater checks and then acts through. Links cannot be
// made from a Windows program under Wine (CreateSymbolicLinkW makes nothing,
// FSCTL_SET_REPARSE_POINT fails), so link behaviour is proven on the
// simulation and end to end with links made from the Linux side.
class HandleContractTest : public FileSystemContractTest {
 protected:
  platform::Handle Open(const WideString& relative, std::uint32_t access,
                        std::uint32_t flags = platform::kFileFlagOpenReparsePoint) const {
    return platform::CreateFileW(Path(relative).c_str(), access,
                                 platform::kFileShareRead | platform::kFileShareDelete,
                                 platform::kOpenExisting, flags);
  }
  platform::Handle Create(const WideString& relative) const {
    return platform::CreateFileW(Path(relative).c_str(), platform::kGenericWrite, 0,
                                 platform::kCreateAlways, platform::kAttributeNormal);
  }
  static WideString FinalPath(platform::Handle h) {
    char16_t buffer[1024] = {};
    const std::uint32_t n = platform::GetFinalPathNameByHandleW(h, buffer, 1024, 0);
    return WideString(buffer, n < 1024 ? n : 0);
  }
  static bool SameIgnoringCase(const WideString& a, const WideString& b) {
    return platform::CompareStringOrdinal(a.c_str(), -1, b.c_str(), -1, platform::kTrue) ==
           platform::kCstrEqual;
  }
  static bool Describe(platform::Handle h, platform::FileBasicInfo& basic,
                       platform::FileStandardInfo& standard) {
    return platform::GetFileInformationByHandleEx(h, platform::FileInfoClass::Basic, &basic,
                                                  sizeof(basic)) &&
           platform::GetFileInformationByHandleEx(h, platform::FileInfoClass::Standard, &standard,
                                                  sizeof(standard));
  }
  platform::Handle OpenBelow(platform::Handle folder, const char16_t* name) const {
    platform::Handle h = platform::kInvalidHandle;
    const std::int32_t status = platform::NtCreateFile(
        &h, platform::kGenericRead | platform::kSynchronize, folder, name,
        platform::kFileShareRead | platform::kFileShareDelete, platform::kFileOpen,
        platform::kFileOpenReparsePoint | platform::kFileNonDirectoryFile |
            platform::kFileSynchronousIoNonalert);
    return status < 0 ? platform::kInvalidHandle : h;
  }
  static std::string ReadAll(platform::Handle h) {
    std::string content;
    char chunk[32768];
    std::uint32_t got = 0;
    while (platform::ReadFile(h, chunk, sizeof(chunk), &got) && got > 0) content.append(chunk, got);
    return content;
  }
  static bool Dispose(platform::Handle h) {
    const platform::FileDispositionInfo info{true};
    return platform::SetFileInformationByHandle(h, platform::FileInfoClass::Disposition, &info,
                                                sizeof(info)) != platform::kFalse;
  }
};

TEST_F(HandleContractTest, AHandleNamesReadsAndDescribesItsFile) {
  ASSERT_TRUE(MakeFolder(u"Staging"));
  Write(u"Staging\\Core.dll", std::string(70000, 'c') + "end");
  const platform::Handle h = Open(u"STAGING\\core.DLL", platform::kGenericRead);
  ASSERT_NE(h, platform::kInvalidHandle);

  platform::FileBasicInfo basic{};
  platform::FileStandardInfo standard{};
  ASSERT_TRUE(Describe(h, basic, standard));
  EXPECT_EQ(basic.FileAttributes & (kAttributeDirectory | platform::kAttributeReparsePoint), 0u);
  EXPECT_EQ(standard.NumberOfLinks, 1u);
  EXPECT_FALSE(standard.Directory);
  EXPECT_EQ(standard.EndOfFile, 70003);

  // The final path: "\\?\" and the names as they stand on disk.
  const WideString final = FinalPath(h);
  EXPECT_EQ(final.substr(0, 4), u"\\\\?\\");
  EXPECT_EQ(final.substr(final.size() - 16), u"Staging\\Core.dll");
  EXPECT_TRUE(SameIgnoringCase(final, u"\\\\?\\" + Path(u"staging\\core.dll")));
  EXPECT_FALSE(SameIgnoringCase(final, u"\\\\?\\" + Path(u"staging\\core.dl")));
  // Too small a buffer: the size needed, terminator included.
  char16_t small[8] = {};
  EXPECT_EQ(platform::GetFinalPathNameByHandleW(h, small, 8, 0), final.size() + 1);

  EXPECT_EQ(ReadAll(h), std::string(70000, 'c') + "end");
  EXPECT_NE(platform::CloseHandle(h), platform::kFalse);

  // A folder opens only with backup semantics, and says it is one.
  EXPECT_EQ(Open(u"Staging", platform::kFileReadAttributes), platform::kInvalidHandle);
  const platform::Handle folder =
      Open(u"Staging", platform::kFileReadAttributes, platform::kFileFlagBackupSemantics);
  ASSERT_NE(folder, platform::kInvalidHandle);
  ASSERT_TRUE(Describe(folder, basic, standard));
  EXPECT_NE(basic.FileAttributes & kAttributeDirectory, 0u);
  EXPECT_TRUE(standard.Directory);
  EXPECT_TRUE(SameIgnoringCase(FinalPath(folder), u"\\\\?\\" + Path(u"staging")));
  platform::CloseHandle(folder);
}

TEST_F(HandleContractTest, AnEntryIsOpenedBelowAFolderHandleWhereverThatFolderWent) {
  ASSERT_TRUE(MakeFolder(u"Cache"));
  Write(u"Cache\\a.bin", "genuine");
  ASSERT_TRUE(MakeFolder(u"Cache\\sub"));
  const platform::Handle folder =
      Open(u"Cache", platform::kFileListDirectory | platform::kSynchronize,
           platform::kFileFlagBackupSemantics);
  ASSERT_NE(folder, platform::kInvalidHandle);

  // Moved away, another folder put in its place: the handle still means the first.
  ASSERT_NE(platform::MoveFileExW(Path(u"Cache").c_str(), Path(u"Moved").c_str(), 0),
            platform::kFalse);
  ASSERT_TRUE(MakeFolder(u"Cache"));
  Write(u"Cache\\a.bin", "planted");
  platform::Handle h = OpenBelow(folder, u"A.BIN");
  ASSERT_NE(h, platform::kInvalidHandle);
  EXPECT_EQ(ReadAll(h), "genuine");
  // Its final path is where it stands now on Windows; Wine 8 still names it
  // by the folder's old path. Nothing relies on that name.
  platform::CloseHandle(h);

  // Neither a folder nor a name that is not there opens.
  EXPECT_EQ(OpenBelow(folder, u"sub"), platform::kInvalidHandle);
  EXPECT_EQ(OpenBelow(folder, u"b.bin"), platform::kInvalidHandle);
  platform::CloseHandle(folder);
}

// A fetch that resumes appends to what an earlier one left.
TEST_F(HandleContractTest, AHandleWithAppendAccessOnlyWritesAtTheEnd) {
  Write(u"partial", "first half;");
  const platform::Handle h =
      Open(u"partial", platform::kFileAppendData, platform::kAttributeNormal);
  ASSERT_NE(h, platform::kInvalidHandle);
  std::uint32_t n = 0;
  EXPECT_TRUE(platform::WriteFile(h, "second", 6, &n));
  EXPECT_TRUE(platform::WriteFile(h, " half", 5, &n));
  platform::CloseHandle(h);
  EXPECT_EQ(Read(u"partial"), "first half;second half");
}

// A delta's base is mapped for reading; the file it makes is mapped at its
// full size and written in place.
TEST_F(HandleContractTest, AMappedFileIsReadAndWrittenInPlace) {
  Write(u"base.exe", std::string(70000, 'b') + "end");
  platform::Handle h = Open(u"base.exe", platform::kGenericRead);
  ASSERT_NE(h, platform::kInvalidHandle);
  // A read-only mapping cannot be larger than its file, nor may it write.
  EXPECT_EQ(platform::CreateFileMappingW(h, platform::kPageReadOnly, 70004), platform::kNullHandle);
  EXPECT_EQ(platform::CreateFileMappingW(h, platform::kPageReadWrite, 0), platform::kNullHandle);
  platform::Handle m = platform::CreateFileMappingW(h, platform::kPageReadOnly, 0);
  ASSERT_NE(m, platform::kNullHandle);
  EXPECT_EQ(platform::MapViewOfFile(m, platform::kFileMapWrite, 0, 0), nullptr);
  const void* view = platform::MapViewOfFile(m, platform::kFileMapRead, 0, 0);
  ASSERT_NE(view, nullptr);
  EXPECT_EQ(std::string(static_cast<const char*>(view), 70003), std::string(70000, 'b') + "end");
  EXPECT_NE(platform::UnmapViewOfFile(view), platform::kFalse);
  platform::CloseHandle(m);
  platform::CloseHandle(h);

  // An empty file has nothing to map.
  Write(u"empty", "");
  h = Open(u"empty", platform::kGenericRead);
  EXPECT_EQ(platform::CreateFileMappingW(h, platform::kPageReadOnly, 0), platform::kNullHandle);
  platform::CloseHandle(h);

  // A new file mapped at its full size, written through the view, and read
  // back through a handle after the view and mapping are closed.
  h = platform::CreateFileW(Path(u"made.exe").c_str(),
                            platform::kGenericRead | platform::kGenericWrite, 0,
                            platform::kCreateAlways, platform::kAttributeNormal);
  ASSERT_NE(h, platform::kInvalidHandle);
  m = platform::CreateFileMappingW(h, platform::kPageReadWrite, 100000);
  ASSERT_NE(m, platform::kNullHandle);
  auto* out = static_cast<char*>(platform::MapViewOfFile(m, platform::kFileMapWrite, 0, 0));
  ASSERT_NE(out, nullptr);
  EXPECT_EQ(std::string(out, 100000), std::string(100000, '\0'));  // extended with zeros
  std::fill(out, out + 100000, 'm');
  EXPECT_NE(platform::UnmapViewOfFile(out), platform::kFalse);
  EXPECT_EQ(platform::UnmapViewOfFile(out), platform::kFalse);
  platform::CloseHandle(m);
  platform::CloseHandle(h);
  EXPECT_EQ(Read(u"made.exe"), std::string(100000, 'm'));
}

TEST_F(HandleContractTest, CreateAlwaysReplacesButNotReadOnlyNorInAMissingFolder) {
  Write(u"old.dll", "old content");
  platform::Handle h = Create(u"old.dll");
  ASSERT_NE(h, platform::kInvalidHandle);
  std::uint32_t written = 0;
  EXPECT_NE(platform::WriteFile(h, "new", 3, &written), platform::kFalse);
  EXPECT_EQ(written, 3u);
  platform::CloseHandle(h);
  EXPECT_EQ(Read(u"old.dll"), "new");

  ASSERT_NE(platform::SetFileAttributesW(Path(u"old.dll").c_str(), 0x21), platform::kFalse);
  EXPECT_EQ(Create(u"old.dll"), platform::kInvalidHandle);
  EXPECT_EQ(Read(u"old.dll"), "new");
  EXPECT_EQ(Create(u"missing\\new.dll"), platform::kInvalidHandle);
  EXPECT_EQ(Attributes(u"missing"), platform::kInvalidFileAttributes);

  // Windows documents access denied for a hidden or system file opened so
  // with FILE_ATTRIBUTE_NORMAL; Wine opens it. The updater no longer does.
  Write(u"hidden.dll", "h");
  ASSERT_NE(platform::SetFileAttributesW(Path(u"hidden.dll").c_str(), 0x22), platform::kFalse);
  h = Create(u"hidden.dll");
#ifdef _WIN32
  EXPECT_NE(h, platform::kInvalidHandle);  // Wine
  platform::CloseHandle(h);
#else
  EXPECT_EQ(h, platform::kInvalidHandle);  // Windows, as simulated
  EXPECT_EQ(Read(u"hidden.dll"), "h");
#endif
}

// How the updater replaces a file whole: a new file beside it, written,
// flushed, renamed over it through its folder's final path.
TEST_F(HandleContractTest, ANewFileIsFlushedAndRenamedOverTheOldInOneStep) {
  Write(u"old.dll", "old");
  const auto createNew = [&](const WideString& path) {
    return platform::CreateFileW(path.c_str(), platform::kGenericWrite, 0, platform::kCreateNew,
                                 platform::kAttributeNormal);
  };
  EXPECT_EQ(createNew(Path(u"old.dll")), platform::kInvalidHandle);
  EXPECT_EQ(Read(u"old.dll"), "old");

  const platform::Handle folder =
      Open(u"", platform::kFileReadAttributes, platform::kFileFlagBackupSemantics);
  const WideString real = FinalPath(folder);
  platform::CloseHandle(folder);
  const WideString partial = real + u"\\ ~old.dll.partial";
  platform::Handle h = createNew(partial);
  ASSERT_NE(h, platform::kInvalidHandle);
  std::uint32_t written = 0;
  EXPECT_NE(platform::WriteFile(h, "new", 3, &written), platform::kFalse);
  EXPECT_NE(platform::FlushFileBuffers(h), platform::kFalse);
  platform::CloseHandle(h);
  // A flush needs a handle that may write.
  h = Open(u"old.dll", platform::kGenericRead);
  EXPECT_EQ(platform::FlushFileBuffers(h), platform::kFalse);
  platform::CloseHandle(h);

  EXPECT_NE(
      platform::MoveFileExW(partial.c_str(), Path(u"old.dll").c_str(),
                            platform::kMoveFileReplaceExisting | platform::kMoveFileWriteThrough),
      platform::kFalse);
  EXPECT_EQ(Read(u"old.dll"), "new");
  EXPECT_EQ(Attributes(u" ~old.dll.partial"), platform::kInvalidFileAttributes);
  // "\\?\" takes a path as it stands: a doubled backslash names nothing.
  EXPECT_EQ(platform::GetFileAttributesW((real + u"\\\\old.dll").c_str()),
            platform::kInvalidFileAttributes);
  EXPECT_NE(platform::GetFileAttributesW((real + u"\\old.dll").c_str()),
            platform::kInvalidFileAttributes);
}

TEST_F(HandleContractTest, NoRenameReplacesAFileHeldOpenWithoutDeleteSharing) {
  Write(u"new.dll", "new");
  Write(u"old.dll", "old");
  const platform::Handle held =
      platform::CreateFileW(Path(u"old.dll").c_str(), platform::kGenericRead,
                            platform::kFileShareRead, platform::kOpenExisting, 0);
  ASSERT_NE(held, platform::kInvalidHandle);
  EXPECT_EQ(platform::MoveFileExW(Path(u"new.dll").c_str(), Path(u"old.dll").c_str(),
                                  platform::kMoveFileReplaceExisting),
            platform::kFalse);
  EXPECT_EQ(platform::DeleteFileW(Path(u"old.dll").c_str()), platform::kFalse);
  platform::CloseHandle(held);
  EXPECT_EQ(Read(u"old.dll"), "old");
  EXPECT_EQ(Read(u"new.dll"), "new");
}

TEST_F(HandleContractTest, DeletionThroughAHandleHappensAtCloseAndSparesReadOnlyFiles) {
  Write(u"plain.bin", "p");
  platform::Handle h = Open(u"plain.bin", platform::kDelete | platform::kFileReadAttributes);
  ASSERT_NE(h, platform::kInvalidHandle);
  EXPECT_TRUE(Dispose(h));
  platform::CloseHandle(h);
  EXPECT_EQ(Attributes(u"plain.bin"), platform::kInvalidFileAttributes);

  Write(u"readonly.bin", "r");
  ASSERT_NE(platform::SetFileAttributesW(Path(u"readonly.bin").c_str(), 0x21), platform::kFalse);
  // Windows opens a read-only file to write its attributes and resets them
  // only through such a handle. Wine refuses that handle, and resets through
  // one without that access; the updater tries both.
  h = Open(u"readonly.bin", platform::kDelete | platform::kFileWriteAttributes);
  if (h == platform::kInvalidHandle) h = Open(u"readonly.bin", platform::kDelete);
  ASSERT_NE(h, platform::kInvalidHandle);
  EXPECT_FALSE(Dispose(h));
  const platform::FileBasicInfo normal{0, 0, 0, 0, platform::kAttributeNormal};
  EXPECT_NE(platform::SetFileInformationByHandle(h, platform::FileInfoClass::Basic, &normal,
                                                 sizeof(normal)),
            platform::kFalse);
  EXPECT_TRUE(Dispose(h));
  platform::CloseHandle(h);
  EXPECT_EQ(Attributes(u"readonly.bin"), platform::kInvalidFileAttributes);

  // Without delete access, no deletion.
  Write(u"kept.bin", "k");
  h = Open(u"kept.bin", platform::kGenericRead);
  EXPECT_FALSE(Dispose(h));
  platform::CloseHandle(h);
  EXPECT_EQ(Read(u"kept.bin"), "k");
}

// How the launch library keeps a second fetch out of the staging folder.
TEST_F(HandleContractTest, AFileHeldWithoutSharingKeepsOthersOutAndGoesWithItsHandle) {
  const auto lock = [&] {
    return platform::CreateFileW(
        Path(u" lock").c_str(), platform::kGenericWrite | platform::kDelete, 0,
        platform::kOpenAlways,
        platform::kFileFlagDeleteOnClose | platform::kFileFlagOpenReparsePoint);
  };
  Write(u" lock", "left by a process that crashed");
  platform::Handle held = lock();
  ASSERT_NE(held, platform::kInvalidHandle);
  for (const std::uint32_t access :
       {platform::kGenericWrite | platform::kDelete, platform::kGenericRead}) {
    EXPECT_EQ(platform::CreateFileW(Path(u" lock").c_str(), access, 0x7, platform::kOpenAlways, 0),
              platform::kInvalidHandle);
    EXPECT_EQ(platform::GetLastError(), platform::kErrorSharingViolation);
  }
  platform::CloseHandle(held);
  EXPECT_EQ(Attributes(u" lock"), platform::kInvalidFileAttributes);
  held = lock();
  ASSERT_NE(held, platform::kInvalidHandle);
  platform::CloseHandle(held);
  EXPECT_EQ(Attributes(u" lock"), platform::kInvalidFileAttributes);

  // Sharing read only: others read, none writes; open-always keeps the content.
  Write(u"core.dll", "core");
  held = Open(u"core.dll", platform::kGenericRead);
  const platform::Handle reader = platform::CreateFileW(
      Path(u"core.dll").c_str(), platform::kGenericRead, 0x7, platform::kOpenAlways, 0);
  EXPECT_NE(reader, platform::kInvalidHandle);
  platform::CloseHandle(reader);
  EXPECT_EQ(platform::CreateFileW(Path(u"core.dll").c_str(), platform::kGenericWrite, 0x7,
                                  platform::kOpenAlways, 0),
            platform::kInvalidHandle);
  EXPECT_EQ(platform::GetLastError(), platform::kErrorSharingViolation);
  platform::CloseHandle(held);
  // A handle for attributes alone keeps no one out, whatever its sharing.
  held = platform::CreateFileW(Path(u"core.dll").c_str(), platform::kFileReadAttributes, 0,
                               platform::kOpenExisting, 0);
  const platform::Handle writer = platform::CreateFileW(
      Path(u"core.dll").c_str(), platform::kGenericWrite, 0x7, platform::kOpenExisting, 0);
  EXPECT_NE(writer, platform::kInvalidHandle);
  platform::CloseHandle(writer);
  platform::CloseHandle(held);
  EXPECT_EQ(Read(u"core.dll"), "core");
}

TEST_F(HandleContractTest, TheWorkingFolderComesWithItsSizeAsked) {
  const std::uint32_t needed = platform::GetCurrentDirectoryW(0, nullptr);
  ASSERT_GT(needed, 1u);
  WideString folder(needed, u'\0');
  EXPECT_EQ(platform::GetCurrentDirectoryW(needed, folder.data()), needed - 1);
  folder.resize(needed - 1);
  EXPECT_NE(platform::GetFileAttributesW(folder.c_str()) & kAttributeDirectory, 0u);
  EXPECT_TRUE(SameIgnoringCase(u"Core.DLL", u"core.dll"));
  EXPECT_EQ(platform::CompareStringOrdinal(u"Core.DLL", -1, u"core.dll", -1, platform::kFalse),
            platform::kCstrLessThan);
}

}  // namespace
