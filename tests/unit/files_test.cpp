#include <gtest/gtest.h>

#include "sim/sim.h"
#include "support/demo_machine.h"
#include "support/fixture.h"
#include "sysops/sysops.h"

namespace {

using Calls = std::vector<std::string>;

using demo::kCache;

class MoveStagedFileTest : public PlatformTest {
 protected:
  void SetUp() override {
    PlatformTest::SetUp();
    sim::AddFolder(u"C:\\Kelvo");
    sim::AddFolder(demo::kClientRoot);
    sim::AddFolder(demo::kStaging);
  }
  static WideString Staged(const WideString& name) { return demo::StagedFile(name); }
  static WideString Target(const WideString& name) { return u"C:\\Kelvo\\\\" + name; }
};

TEST_F(MoveStagedFileTest, ReplacesTheInstalledFileAndRemovesTheStagedCopy) {
  sim::AddFile(Staged(u"core.dll"), "v2");
  sim::AddFile(u"C:\\Kelvo\\core.dll", "v1");
  EXPECT_TRUE(MoveStagedFile(Staged(u"core.dll"), Target(u"core.dll")));
  EXPECT_EQ(sim::ContentOf(u"C:\\Kelvo\\core.dll"), "v2");
  EXPECT_FALSE(sim::Exists(Staged(u"core.dll")));
  EXPECT_EQ(sim::CallsTo("CopyFileW"), Calls{"CopyFileW(\"" + sim::Utf8(Staged(u"core.dll")) +
                                             "\", \"C:\\Kelvo\\\\core.dll\", 0)"});
}

TEST_F(MoveStagedFileTest, CreatesATargetThatDidNotExist) {
  sim::AddFile(Staged(u"new.dll"), "n");
  EXPECT_TRUE(MoveStagedFile(Staged(u"new.dll"), Target(u"new.dll")));
  EXPECT_EQ(sim::ContentOf(u"C:\\Kelvo\\new.dll"), "n");
}

TEST_F(MoveStagedFileTest, AMissingOrFolderStagedPathFailsTouchingNothing) {
  sim::AddFile(u"C:\\Kelvo\\core.dll", "v1");
  EXPECT_FALSE(MoveStagedFile(Staged(u"core.dll"), Target(u"core.dll")));
  sim::AddFolder(Staged(u"lang"));
  EXPECT_FALSE(MoveStagedFile(Staged(u"lang"), Target(u"lang")));
  sim::AddFolder(Staged(u"odd"), 0x12);
  EXPECT_FALSE(MoveStagedFile(Staged(u"odd"), Target(u"odd")));
  EXPECT_FALSE(MoveStagedFile(u"", Target(u"core.dll")));
  EXPECT_EQ(sim::ContentOf(u"C:\\Kelvo\\core.dll"), "v1");
  EXPECT_TRUE(sim::CallsTo("CopyFileW").empty());
  EXPECT_TRUE(sim::CallsTo("DeleteFileW").empty());
}

TEST_F(MoveStagedFileTest, AMissingTargetFolderFailsAndKeepsTheStagedFile) {
  sim::AddFile(Staged(u"lang\\en.pak"), "en");
  EXPECT_FALSE(MoveStagedFile(Staged(u"lang\\en.pak"), Target(u"lang\\en.pak")));
  EXPECT_EQ(sim::ContentOf(Staged(u"lang\\en.pak")), "en");
  EXPECT_FALSE(sim::Exists(u"C:\\Kelvo\\lang"));
  EXPECT_TRUE(sim::CallsTo("DeleteFileW").empty());
}

TEST_F(MoveStagedFileTest, AFailedCopyLeavesTargetAttributesAloneAndIsNotRetried) {
  sim::AddFile(Staged(u"core.dll"), "v2");
  sim::AddFile(u"C:\\Kelvo\\core.dll", "v1", 0x21);
  EXPECT_FALSE(MoveStagedFile(Staged(u"core.dll"), Target(u"core.dll")));
  EXPECT_EQ(sim::ContentOf(u"C:\\Kelvo\\core.dll"), "v1");
  EXPECT_EQ(sim::Find(u"C:\\Kelvo\\core.dll")->attributes, 0x21u);
  EXPECT_EQ(sim::CallsTo("CopyFileW").size(), 1u);
  EXPECT_TRUE(sim::CallsTo("SetFileAttributesW").empty());
  EXPECT_TRUE(sim::Exists(Staged(u"core.dll")));
}

TEST_F(MoveStagedFileTest, AReadOnlyStagedCopyIsRemovedAfterOneAttributeReset) {
  sim::AddFile(Staged(u"core.dll"), "v2", 0x21);
  EXPECT_TRUE(MoveStagedFile(Staged(u"core.dll"), Target(u"core.dll")));
  const std::string staged = "\"" + sim::Utf8(Staged(u"core.dll")) + "\"";
  EXPECT_EQ(sim::CallNames(), (Calls{"GetFileAttributesW", "CopyFileW", "DeleteFileW",
                                     "SetFileAttributesW", "DeleteFileW"}));
  EXPECT_EQ(sim::CallsTo("SetFileAttributesW"), Calls{"SetFileAttributesW(" + staged + ", 0x80)"});
  EXPECT_FALSE(sim::Exists(Staged(u"core.dll")));
  EXPECT_EQ(sim::ContentOf(u"C:\\Kelvo\\core.dll"), "v2");
}

TEST_F(MoveStagedFileTest, AnUndeletableStagedCopyStillCountsAsMoved) {
  sim::AddFile(Staged(u"core.dll"), "v2");
  sim::Find(Staged(u"core.dll"))->locked = true;
  EXPECT_TRUE(MoveStagedFile(Staged(u"core.dll"), Target(u"core.dll")));
  EXPECT_EQ(sim::CallsTo("DeleteFileW").size(), 2u);  // no third attempt
  EXPECT_TRUE(sim::Exists(Staged(u"core.dll")));
  EXPECT_EQ(sim::ContentOf(u"C:\\Kelvo\\core.dll"), "v2");
}

TEST_F(MoveStagedFileTest, TheSecondMoveOfOneStagedPathFails) {
  sim::AddFile(Staged(u"core.dll"), "v2");
  EXPECT_TRUE(MoveStagedFile(Staged(u"core.dll"), Target(u"core.dll")));
  EXPECT_FALSE(MoveStagedFile(Staged(u"core.dll"), Target(u"core.dll")));
  EXPECT_EQ(sim::ContentOf(u"C:\\Kelvo\\core.dll"), "v2");
}

class DeleteFilesInDirTest : public PlatformTest {
 protected:
  void SetUp() override {
    PlatformTest::SetUp();
    demo::MakeCacheFolder();
  }
  static WideString In(const WideString& name) { return demo::CachedFile(name); }
};

TEST_F(DeleteFilesInDirTest, DeletesTheFilesAndKeepsPlainSubfoldersWithTheirContent) {
  sim::AddFile(In(u"a.bin"), "a");
  sim::AddFile(In(u"b.bin"), "b");
  sim::AddFolder(In(u"sub"));
  sim::AddFile(In(u"sub\\deep.bin"), "d");
  DeleteFilesInDir(kCache);
  EXPECT_FALSE(sim::Exists(In(u"a.bin")));
  EXPECT_FALSE(sim::Exists(In(u"b.bin")));
  EXPECT_TRUE(sim::Exists(In(u"sub\\deep.bin")));
  EXPECT_EQ(sim::CallsTo("FindFirstFileW"),
            Calls{"FindFirstFileW(\"" + sim::Utf8(In(u"*")) + "\")"});
  // ".", ".." and "sub" are passed over without a call.
  EXPECT_EQ(sim::CallsTo("DeleteFileW").size(), 2u);
  EXPECT_EQ(sim::CallsTo("FindClose"), Calls{"FindClose(search)"});
  EXPECT_EQ(sim::OpenHandleCount(), 0u);
}

TEST_F(DeleteFilesInDirTest, AttributesAreComparedAsWholeValues) {
  sim::AddFolder(In(u"hidden"), 0x12);
  sim::AddFile(In(u"hidden\\inner.bin"), "i");
  sim::AddFile(In(u"readonly.bin"), "r", 0x21);
  sim::AddFile(In(u"hidden.bin"), "h", 0x22);
  sim::AddFile(In(u"system.bin"), "s", 0x24);
  sim::AddFile(In(u"link"), "", 0x400);
  sim::AddFile(In(u"archived-link"), "", 0x420);
  DeleteFilesInDir(kCache);

  EXPECT_TRUE(sim::Exists(In(u"hidden\\inner.bin")));
  EXPECT_TRUE(sim::Exists(In(u"readonly.bin")));
  EXPECT_FALSE(sim::Exists(In(u"hidden.bin")));
  EXPECT_FALSE(sim::Exists(In(u"system.bin")));
  EXPECT_TRUE(sim::Exists(In(u"link")));
  EXPECT_FALSE(sim::Exists(In(u"archived-link")));

  Calls deleted;
  for (const std::string& call : sim::CallsTo("DeleteFileW")) {
    deleted.push_back(call.substr(call.rfind('\\') + 1));
  }
  EXPECT_EQ(deleted, (Calls{"archived-link\")", "hidden\")", "hidden.bin\")", "readonly.bin\")",
                            "system.bin\")"}));
  EXPECT_TRUE(sim::CallsTo("SetFileAttributesW").empty());
}

TEST_F(DeleteFilesInDirTest, DotEntriesOfAFolderWithFurtherAttributesAreHandedToDeletion) {
  sim::AddFolder(In(u"h"), 0x12);
  sim::AddFile(In(u"h\\x.bin"), "x");
  DeleteFilesInDir(In(u"h\\"));
  EXPECT_EQ(sim::CallsTo("DeleteFileW").front(), "DeleteFileW(\"" + sim::Utf8(In(u"h\\.")) + "\")");
  EXPECT_FALSE(sim::Exists(In(u"h\\x.bin")));
  EXPECT_TRUE(sim::Exists(In(u"h")));
}

TEST_F(DeleteFilesInDirTest, AMissingOrUnnamedFolderDeletesNothing) {
  sim::AddFile(u"C:\\Kelvo\\keep.dll", "k");
  sim::World().currentDirectory = u"C:\\Kelvo";
  DeleteFilesInDir(u"C:\\nowhere\\");
  EXPECT_TRUE(sim::CallsTo("FindClose").empty());
  DeleteFilesInDir(u"");
  EXPECT_TRUE(sim::Exists(u"C:\\Kelvo\\keep.dll"));
  EXPECT_TRUE(sim::CallsTo("DeleteFileW").empty());
  EXPECT_EQ(sim::CallsTo("FindFirstFileW").size(), 1u);
}

}  // namespace
