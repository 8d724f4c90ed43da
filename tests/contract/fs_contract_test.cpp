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

}  // namespace
