#include <gtest/gtest.h>

#include <algorithm>

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
  // The target's folder resolved as the run resolves it; empty when missing.
  static WideString RealFolderOf(const WideString& target) {
    WideString real;
    GetFinalFolderPath(FolderOfTarget(target), real);
    return real;
  }
  static bool Move(const WideString& name) {
    return MoveStagedFile(Staged(name), Target(name), demo::Real(Staged(name)),
                          RealFolderOf(Target(name)));
  }
  // Journal lines that name the staged file: after the check nothing may go
  // through its path, only through the handle that was checked.
  static std::size_t CallsNaming(const WideString& name) {
    const std::string path = "(\"" + sim::Utf8(Staged(name)) + "\"";
    return std::count_if(
        sim::World().journal.begin(), sim::World().journal.end(),
        [&](const std::string& call) { return call.find(path) != std::string::npos; });
  }
};

TEST_F(MoveStagedFileTest, ReplacesTheInstalledFileAndRemovesTheStagedCopy) {
  sim::AddFile(Staged(u"core.dll"), "v2");
  sim::AddFile(u"C:\\Kelvo\\core.dll", "v1");
  EXPECT_TRUE(Move(u"core.dll"));
  EXPECT_EQ(sim::ContentOf(u"C:\\Kelvo\\core.dll"), "v2");
  EXPECT_FALSE(sim::Exists(Staged(u"core.dll")));
  EXPECT_EQ(CallsNaming(u"core.dll"), 1u);
  EXPECT_EQ(sim::OpenHandleCount(), 0u);
}

TEST_F(MoveStagedFileTest, CreatesATargetThatDidNotExist) {
  sim::AddFile(Staged(u"new.dll"), std::string(600 * 1024, 'n'));  // more than one chunk
  EXPECT_TRUE(Move(u"new.dll"));
  EXPECT_EQ(sim::ContentOf(u"C:\\Kelvo\\new.dll"), std::string(600 * 1024, 'n'));
}

TEST_F(MoveStagedFileTest, AMissingOrFolderStagedPathFailsTouchingNothing) {
  sim::AddFile(u"C:\\Kelvo\\core.dll", "v1");
  EXPECT_FALSE(Move(u"core.dll"));
  sim::AddFolder(Staged(u"lang"));
  EXPECT_FALSE(Move(u"lang"));
  sim::AddFolder(Staged(u"odd"), 0x12);
  EXPECT_FALSE(Move(u"odd"));
  EXPECT_FALSE(MoveStagedFile(u"", Target(u"core.dll"), demo::Real(Staged(u"core.dll")),
                              RealFolderOf(Target(u"core.dll"))));
  EXPECT_EQ(sim::ContentOf(u"C:\\Kelvo\\core.dll"), "v1");
  EXPECT_TRUE(sim::CallsTo("WriteFile").empty());
  EXPECT_TRUE(sim::CallsTo("SetFileInformationByHandle").empty());
  EXPECT_EQ(sim::OpenHandleCount(), 0u);
}

TEST_F(MoveStagedFileTest, AMissingTargetFolderFailsAndKeepsTheStagedFile) {
  sim::AddFile(Staged(u"lang\\en.pak"), "en");
  EXPECT_FALSE(Move(u"lang\\en.pak"));
  EXPECT_EQ(sim::ContentOf(Staged(u"lang\\en.pak")), "en");
  EXPECT_FALSE(sim::Exists(u"C:\\Kelvo\\lang"));
  EXPECT_TRUE(sim::CallsTo("SetFileInformationByHandle").empty());
}

// The calls that make a move durable, in the order they came.
Calls DurableSteps() {
  Calls steps;
  for (const std::string& call : sim::CallNames()) {
    const bool step = call == "WriteFile" || call == "FlushFileBuffers" || call == "MoveFileExW" ||
                      call == "SetFileInformationByHandle";
    if (step && (steps.empty() || steps.back() != call)) steps.push_back(call);
  }
  return steps;
}

TEST_F(MoveStagedFileTest, TheContentIsWrittenFlushedAndRenamedBeforeTheStagedCopyGoes) {
  const std::string v2(600 * 1024, '2');  // three chunks
  sim::AddFile(Staged(u"core.dll"), v2);
  sim::AddFile(u"C:\\Kelvo\\core.dll", "v1");
  EXPECT_TRUE(Move(u"core.dll"));
  EXPECT_EQ(DurableSteps(),
            (Calls{"WriteFile", "FlushFileBuffers", "MoveFileExW", "SetFileInformationByHandle"}));
  // Nothing of the old file stays, no partial copy either; all of it is on disk.
  EXPECT_EQ(sim::FilesIn(u"C:\\Kelvo"), (std::vector<std::string>{"core.dll"}));
  sim::PowerCut();
  EXPECT_EQ(sim::ContentOf(u"C:\\Kelvo\\core.dll"), v2);
}

// Whatever fails part-way, the installed file and the staged copy stay as they
// were, and the partial copy goes: a full disk, a failed read (never taken for
// the end of the file), a failed write, flush or rename.
TEST_F(MoveStagedFileTest, AFailureAtAnyStepKeepsTheOldFileAndTheStagedCopy) {
  const std::string v2(600 * 1024, '2');
  const struct {
    const char* what;
    std::string call;
    int which;
    std::optional<std::uint64_t> freeBytes;
  } cases[] = {
      {"the first read", "ReadFile", 1, {}},
      {"the second read", "ReadFile", 2, {}},
      {"the read at the end", "ReadFile", 4, {}},
      {"the first write", "WriteFile", 1, {}},
      {"the last write", "WriteFile", 3, {}},
      {"the flush", "FlushFileBuffers", 1, {}},
      {"the rename", "MoveFileExW", 1, {}},
      {"a full disk at once", "", 0, 0},
      {"a disk full part-way", "", 0, 300 * 1024},
      {"a disk full a byte short", "", 0, 600 * 1024 - 1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    TearDown();
    SetUp();
    sim::AddFile(Staged(u"core.dll"), v2);
    sim::AddFile(u"C:\\Kelvo\\core.dll", "v1");
    if (!c.call.empty()) sim::World().failingCall[c.call] = c.which;
    sim::World().freeBytes = c.freeBytes;
    EXPECT_FALSE(Move(u"core.dll"));
    EXPECT_EQ(sim::ContentOf(u"C:\\Kelvo\\core.dll"), "v1");
    EXPECT_EQ(sim::ContentOf(Staged(u"core.dll")), v2);
    EXPECT_EQ(sim::FilesIn(u"C:\\Kelvo"), (std::vector<std::string>{"core.dll"}));
    EXPECT_TRUE(sim::CallsTo("SetFileInformationByHandle").empty());
    EXPECT_EQ(sim::OpenHandleCount(), 0u);
  }
}

TEST_F(MoveStagedFileTest, ATargetThatCannotBeReplacedKeepsItsContentAndAttributes) {
  sim::AddFile(Staged(u"core.dll"), "v2");
  // Read-only: refused before anything is written.
  sim::AddFile(u"C:\\Kelvo\\core.dll", "v1", 0x21);
  EXPECT_FALSE(Move(u"core.dll"));
  EXPECT_EQ(sim::Find(u"C:\\Kelvo\\core.dll")->attributes, 0x21u);
  EXPECT_TRUE(sim::CallsTo("WriteFile").empty());
  // In use, held open or mapped by another process: the rename is refused.
  sim::Find(u"C:\\Kelvo\\core.dll")->attributes = 0x20;
  sim::Find(u"C:\\Kelvo\\core.dll")->locked = true;
  EXPECT_FALSE(Move(u"core.dll"));
  EXPECT_EQ(sim::CallsTo("MoveFileExW").size(), 1u);
  // A folder where the file should be.
  sim::AddFolder(u"C:\\Kelvo\\lang");
  sim::AddFile(Staged(u"lang"), "file");
  EXPECT_FALSE(Move(u"lang"));
  EXPECT_EQ(sim::ContentOf(u"C:\\Kelvo\\core.dll"), "v1");
  EXPECT_EQ(sim::ContentOf(Staged(u"core.dll")), "v2");
  EXPECT_EQ(sim::FilesIn(u"C:\\Kelvo"), (std::vector<std::string>{"core.dll"}));
  EXPECT_TRUE(sim::CallsTo("SetFileInformationByHandle").empty());
  EXPECT_EQ(sim::OpenHandleCount(), 0u);
}

TEST_F(MoveStagedFileTest, HiddenAndSystemTargetsAreReplacedByAPlainFile) {
  for (const std::uint32_t attributes : {0x22u, 0x24u, 0x26u}) {
    sim::AddFile(Staged(u"core.dll"), "v2", 0x23);
    sim::AddFile(u"C:\\Kelvo\\core.dll", "v1", attributes);
    EXPECT_TRUE(Move(u"core.dll")) << attributes;
    EXPECT_EQ(sim::ContentOf(u"C:\\Kelvo\\core.dll"), "v2");
    EXPECT_EQ(sim::Find(u"C:\\Kelvo\\core.dll")->attributes & 0x7u, 0u) << attributes;
  }
}

TEST_F(MoveStagedFileTest, APartialCopyNeverTakesAnExistingName) {
  sim::AddFile(Staged(u"core.dll"), "v2");
  // Names the updater was given as files of their own.
  sim::AddFile(u"C:\\Kelvo\\ ~core.dll.partial", "shipped");
  sim::AddFile(u"C:\\Kelvo\\ ~core.dll.1.partial", "shipped too");
  EXPECT_TRUE(Move(u"core.dll"));
  EXPECT_EQ(sim::ContentOf(u"C:\\Kelvo\\core.dll"), "v2");
  EXPECT_EQ(sim::ContentOf(u"C:\\Kelvo\\ ~core.dll.partial"), "shipped");
  EXPECT_EQ(sim::ContentOf(u"C:\\Kelvo\\ ~core.dll.1.partial"), "shipped too");
  EXPECT_EQ(sim::FilesIn(u"C:\\Kelvo"),
            (std::vector<std::string>{" ~core.dll.1.partial", " ~core.dll.partial", "core.dll"}));
}

// Past MAX_PATH: a staged file whose final path is 260-263 units, and a target
// folder so deep that its partial copy's path is too.
TEST_F(MoveStagedFileTest, PathsPastMaxPathInstallLikeAnyOther) {
  for (std::size_t length = 256; length <= 259; ++length) {
    SCOPED_TRACE(length);
    const WideString name = WideString(length - Staged(u"").size() - 6, u'n') + u"\\x.dat";
    sim::AddFolder(Staged(name.substr(0, name.size() - 6)));
    sim::AddFile(Staged(name), "staged");
    ASSERT_EQ(Staged(name).size(), length);
    const WideString target =
        u"C:\\Kelvo\\\\" + WideString(240, u'd') + u"\\" + WideString(260 - length, u'f') + u".dll";
    sim::AddFolder(u"C:\\Kelvo\\" + WideString(240, u'd'));
    EXPECT_TRUE(
        MoveStagedFile(Staged(name), target, demo::Real(Staged(name)), RealFolderOf(target)));
    EXPECT_EQ(sim::ContentOf(target), "staged");
    EXPECT_FALSE(sim::Exists(Staged(name)));
  }
}

TEST_F(MoveStagedFileTest, AReadOnlyStagedCopyIsRemovedAfterOneAttributeReset) {
  sim::AddFile(Staged(u"core.dll"), "v2", 0x21);
  EXPECT_TRUE(Move(u"core.dll"));
  // Deletion, the attribute reset, deletion: all through the checked handle.
  EXPECT_EQ(sim::CallsTo("SetFileInformationByHandle"),
            (Calls{"SetFileInformationByHandle(file, 4)", "SetFileInformationByHandle(file, 0)",
                   "SetFileInformationByHandle(file, 4)"}));
  EXPECT_EQ(CallsNaming(u"core.dll"), 1u);
  EXPECT_FALSE(sim::Exists(Staged(u"core.dll")));
  EXPECT_EQ(sim::ContentOf(u"C:\\Kelvo\\core.dll"), "v2");
  // The staged copy's read-only bit is not carried to the installed file.
  EXPECT_EQ(sim::Find(u"C:\\Kelvo\\core.dll")->attributes & platform::kAttributeReadOnly, 0u);
}

TEST_F(MoveStagedFileTest, AnUndeletableStagedCopyStillCountsAsMoved) {
  sim::AddFile(Staged(u"core.dll"), "v2");
  sim::Find(Staged(u"core.dll"))->locked = true;
  EXPECT_TRUE(Move(u"core.dll"));
  // Two deletions with a reset between, no third attempt.
  EXPECT_EQ(sim::CallsTo("SetFileInformationByHandle").size(), 3u);
  EXPECT_TRUE(sim::Exists(Staged(u"core.dll")));
  EXPECT_EQ(sim::ContentOf(u"C:\\Kelvo\\core.dll"), "v2");
}

TEST_F(MoveStagedFileTest, TheSecondMoveOfOneStagedPathFails) {
  sim::AddFile(Staged(u"core.dll"), "v2");
  EXPECT_TRUE(Move(u"core.dll"));
  EXPECT_FALSE(Move(u"core.dll"));
  EXPECT_EQ(sim::ContentOf(u"C:\\Kelvo\\core.dll"), "v2");
}

// A staged file that grows while it is copied, at any step: the installed
// file is the old one or exactly what was staged when the copy began, never
// a mix or more.
TEST_F(MoveStagedFileTest, AStagedFileThatGrowsMidCopyIsNeverInstalledPartOrMore) {
  const std::string v2(600 * 1024, '2');  // three chunks
  std::size_t refused = 0, step = 0;
  for (bool ran = true; ran; ++step) {
    sim::AddFile(Staged(u"core.dll"), v2);
    sim::AddFile(u"C:\\Kelvo\\core.dll", "v1");
    ran = false;
    const std::size_t readsEarlier = sim::CallsTo("ReadFile").size();
    std::size_t readsBefore = 0;
    sim::World().otherThread = {sim::World().journal.size() + step, [&] {
                                  ran = true;
                                  readsBefore = sim::CallsTo("ReadFile").size() - readsEarlier;
                                  sim::Find(Staged(u"core.dll"))->content += "grown";
                                }};
    const bool moved = Move(u"core.dll");
    const std::string installed = *sim::ContentOf(u"C:\\Kelvo\\core.dll");
    // Grown before the copy read a byte, the longer file is what was staged.
    const bool whole = installed == v2 || (readsBefore == 0 && installed == v2 + "grown");
    EXPECT_TRUE(installed == "v1" || whole) << step << ": " << installed.size();
    EXPECT_EQ(moved, installed != "v1") << step;
    if (!moved) {
      EXPECT_TRUE(sim::Exists(Staged(u"core.dll"))) << step;
      refused += readsBefore > 0;
    }
    EXPECT_EQ(sim::FilesIn(u"C:\\Kelvo"), std::vector<std::string>{"core.dll"}) << step;
  }
  sim::World().otherThread.reset();
  EXPECT_GT(refused, 0u) << "some steps fall inside the copy";
}

class DeleteFilesInDirTest : public PlatformTest {
 protected:
  void SetUp() override {
    PlatformTest::SetUp();
    demo::MakeCacheFolder();
  }
  static WideString In(const WideString& name) { return demo::CachedFile(name); }
  static void Clear(const WideString& folder = kCache) {
    DeleteFilesInDir(folder, demo::Real(folder));
  }
  // The entries handed on to the check, by name, each opened below the folder's handle.
  static Calls Opened() {
    Calls names;
    for (const std::string& call : sim::CallsTo("NtCreateFile")) {
      EXPECT_EQ(call.rfind("NtCreateFile(file, \"", 0), 0u) << call;
      const std::size_t start = call.find('"') + 1;
      names.push_back(call.substr(start, call.find('"', start) - start));
    }
    return names;
  }
};

TEST_F(DeleteFilesInDirTest, DeletesTheFilesAndKeepsPlainSubfoldersWithTheirContent) {
  sim::AddFile(In(u"a.bin"), "a");
  sim::AddFile(In(u"b.bin"), "b");
  sim::AddFolder(In(u"sub"));
  sim::AddFile(In(u"sub\\deep.bin"), "d");
  Clear();
  EXPECT_FALSE(sim::Exists(In(u"a.bin")));
  EXPECT_FALSE(sim::Exists(In(u"b.bin")));
  EXPECT_TRUE(sim::Exists(In(u"sub\\deep.bin")));
  EXPECT_EQ(sim::CallsTo("FindFirstFileW"),
            Calls{"FindFirstFileW(\"" + sim::Utf8(In(u"*")) + "\")"});
  // ".", ".." and "sub" are passed over without a call.
  EXPECT_EQ(Opened(), (Calls{"a.bin", "b.bin"}));
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
  Clear();

  EXPECT_TRUE(sim::Exists(In(u"hidden\\inner.bin")));
  EXPECT_TRUE(sim::Exists(In(u"readonly.bin")));
  EXPECT_FALSE(sim::Exists(In(u"hidden.bin")));
  EXPECT_FALSE(sim::Exists(In(u"system.bin")));
  EXPECT_TRUE(sim::Exists(In(u"link")));
  // Handed on, but a reparse point is never deleted.
  EXPECT_TRUE(sim::Exists(In(u"archived-link")));
  EXPECT_EQ(Opened(),
            (Calls{"archived-link", "hidden", "hidden.bin", "readonly.bin", "system.bin"}));
  // No attribute is reset: the read-only file was asked to go once.
  EXPECT_EQ(sim::CallsTo("SetFileInformationByHandle").size(), 3u);
  EXPECT_EQ(sim::OpenHandleCount(), 0u);
}

TEST_F(DeleteFilesInDirTest, DotEntriesOfAFolderWithFurtherAttributesAreHandedToDeletion) {
  sim::AddFolder(In(u"h"), 0x12);
  sim::AddFile(In(u"h\\x.bin"), "x");
  Clear(In(u"h\\"));
  EXPECT_EQ(Opened().front(), ".");
  EXPECT_FALSE(sim::Exists(In(u"h\\x.bin")));
  EXPECT_TRUE(sim::Exists(In(u"h")));
}

TEST_F(DeleteFilesInDirTest, AMissingOrUnnamedFolderDeletesNothing) {
  sim::AddFile(u"C:\\Kelvo\\keep.dll", "k");
  sim::World().currentDirectory = u"C:\\Kelvo";
  Clear(u"C:\\nowhere\\");
  DeleteFilesInDir(u"", u"");
  // A folder that is not where it must be is not searched either.
  DeleteFilesInDir(kCache, demo::Real(u"C:\\Kelvo\\"));
  EXPECT_TRUE(sim::Exists(u"C:\\Kelvo\\keep.dll"));
  EXPECT_TRUE(sim::CallsTo("FindFirstFileW").empty());
  EXPECT_TRUE(sim::CallsTo("NtCreateFile").empty());
  EXPECT_EQ(sim::OpenHandleCount(), 0u);
}

}  // namespace
