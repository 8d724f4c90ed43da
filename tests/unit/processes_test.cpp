#include <gtest/gtest.h>

#include "platform/platform.h"
#include "sim/sim.h"
#include "support/fixture.h"
#include "sysops/sysops.h"

namespace {

using Calls = std::vector<std::string>;

class ClientShutdownTest : public PlatformTest {
 protected:
  // Only the calls that act on processes, in order.
  static Calls ProcessCalls() {
    Calls calls;
    for (const std::string& line : sim::World().journal) {
      for (const char* name :
           {"OpenProcess(", "TerminateProcess(", "WaitForSingleObject(", "CloseHandle(process"}) {
        if (line.rfind(name, 0) == 0) calls.push_back(line);
      }
    }
    return calls;
  }
};

TEST_F(ClientShutdownTest, NoClientRunningCostsNoWaitAndLeavesNoHandle) {
  sim::AddProcess(u"explorer.exe");
  TerminateClientProcesses(u"KelvoClient.exe");
  EXPECT_TRUE(ProcessCalls().empty());
  EXPECT_EQ(sim::World().waitedMs, 0u);
  EXPECT_EQ(sim::CallsTo("CreateToolhelp32Snapshot"), Calls{"CreateToolhelp32Snapshot(0x2, 0)"});
  EXPECT_EQ(sim::CallsTo("CloseHandle"), Calls{"CloseHandle(snapshot)"});
  EXPECT_EQ(sim::OpenHandleCount(), 0u);
  EXPECT_EQ(sim::RunningPids(u"explorer.exe").size(), 1u);
}

TEST_F(ClientShutdownTest, EveryClientIsTerminatedInSnapshotOrderEachAfterTheWaitForTheLast) {
  const std::uint32_t first = sim::AddProcess(u"KelvoClient.exe");
  sim::AddProcess(u"explorer.exe");
  const std::uint32_t second = sim::AddProcess(u"KelvoClient.exe");
  TerminateClientProcesses(u"KelvoClient.exe");

  const std::string a = "process:" + std::to_string(first), b = "process:" + std::to_string(second);
  EXPECT_EQ(ProcessCalls(),
            (Calls{"OpenProcess(0x1F0FFF, 0, " + std::to_string(first) + ")",
                   "OpenProcess(0x1F0FFF, 0, " + std::to_string(second) + ")",
                   "TerminateProcess(" + a + ", 0)", "WaitForSingleObject(" + a + ", 5000)",
                   "CloseHandle(" + a + ")", "TerminateProcess(" + b + ", 0)",
                   "WaitForSingleObject(" + b + ", 5000)", "CloseHandle(" + b + ")"}));
  EXPECT_TRUE(sim::RunningPids(u"KelvoClient.exe").empty());
  EXPECT_EQ(sim::FindProcess(first)->exitCode, 0u);
  EXPECT_EQ(sim::FindProcess(second)->exitCode, 0u);
  EXPECT_EQ(sim::RunningPids(u"explorer.exe").size(), 1u);
  EXPECT_EQ(sim::OpenHandleCount(), 0u);
  EXPECT_EQ(sim::World().badCloses, 0);
}

TEST_F(ClientShutdownTest, OnlyTheExactImageNameMatches) {
  for (const char16_t* other : {u"kelvoclient.exe", u"KELVOCLIENT.EXE", u"KelvoClient.exe.bak",
                                u"MyKelvoClient.exe", u"KelvoClient.ex", u"KelvoClient.exe "}) {
    sim::AddProcess(other);
  }
  TerminateClientProcesses(u"KelvoClient.exe");
  EXPECT_TRUE(sim::CallsTo("OpenProcess").empty());
  EXPECT_EQ(sim::World().processes.size(), 6u);
  for (const sim::Process& p : sim::World().processes) EXPECT_TRUE(p.running) << sim::Utf8(p.image);
}

TEST_F(ClientShutdownTest, ARefusedProcessIsSkippedAndTheOthersStillEnd) {
  const std::uint32_t refused = sim::AddProcess(u"KelvoClient.exe");
  sim::FindProcess(refused)->refuseOpen = true;
  const std::uint32_t open = sim::AddProcess(u"KelvoClient.exe");

  const ProcessHandleList list = FindProcessesByName(u"KelvoClient.exe");
  ASSERT_EQ(list.size(), 2u);
  EXPECT_EQ(list[0], platform::kNullHandle);
  EXPECT_NE(list[1], platform::kNullHandle);
  for (platform::Handle h : list) {
    if (h != platform::kNullHandle) platform::CloseHandle(h);
  }

  sim::World().journal.clear();
  TerminateClientProcesses(u"KelvoClient.exe");
  const std::string b = "process:" + std::to_string(open);
  EXPECT_EQ(ProcessCalls(),
            (Calls{"OpenProcess(0x1F0FFF, 0, " + std::to_string(refused) + ")",
                   "OpenProcess(0x1F0FFF, 0, " + std::to_string(open) + ")",
                   "TerminateProcess(" + b + ", 0)", "WaitForSingleObject(" + b + ", 5000)",
                   "CloseHandle(" + b + ")"}));
  EXPECT_TRUE(sim::FindProcess(refused)->running);
  EXPECT_FALSE(sim::FindProcess(open)->running);
  EXPECT_EQ(sim::World().badCloses, 0);
}

TEST_F(ClientShutdownTest, AFailedTerminationGetsNoWaitButItsHandleIsClosed) {
  const std::uint32_t stubborn = sim::AddProcess(u"KelvoClient.exe");
  sim::FindProcess(stubborn)->terminateFails = true;
  TerminateClientProcesses(u"KelvoClient.exe");
  const std::string a = "process:" + std::to_string(stubborn);
  EXPECT_EQ(ProcessCalls(), (Calls{"OpenProcess(0x1F0FFF, 0, " + std::to_string(stubborn) + ")",
                                   "TerminateProcess(" + a + ", 0)", "CloseHandle(" + a + ")"}));
  EXPECT_EQ(sim::World().waitedMs, 0u);
  EXPECT_TRUE(sim::FindProcess(stubborn)->running);
  EXPECT_EQ(sim::OpenHandleCount(), 0u);
}

TEST_F(ClientShutdownTest, AProcessThatOutlivesTheWaitCostsExactlyOneWait) {
  const std::uint32_t slow = sim::AddProcess(u"KelvoClient.exe");
  sim::FindProcess(slow)->outlivesWait = true;
  sim::AddProcess(u"KelvoClient.exe");
  TerminateClientProcesses(u"KelvoClient.exe");
  EXPECT_EQ(sim::World().waitedMs, 5000u);
  EXPECT_EQ(sim::CallsTo("TerminateProcess").size(), 2u);
  EXPECT_EQ(sim::OpenHandleCount(), 0u);
}

TEST_F(ClientShutdownTest, NoSnapshotMeansNothingIsTouched) {
  sim::AddProcess(u"KelvoClient.exe");
  sim::World().snapshotFails = true;
  TerminateClientProcesses(u"KelvoClient.exe");
  EXPECT_TRUE(ProcessCalls().empty());
  EXPECT_TRUE(sim::CallsTo("CloseHandle").empty());
  EXPECT_EQ(sim::RunningPids(u"KelvoClient.exe").size(), 1u);
}

TEST_F(ClientShutdownTest, TheEntrySizeGivenToTheWalkIsTheX86One) {
  sim::AddProcess(u"KelvoClient.exe");
  FindProcessesByName(u"nothing.exe");
  for (const std::string& call : sim::CallsTo("Process32FirstW")) {
    EXPECT_EQ(call, "Process32FirstW(snapshot, 556)");
  }
  EXPECT_EQ(sim::CallsTo("Process32NextW"), Calls{"Process32NextW(snapshot, 556)"});
}

class DebugPrivilegeTest : public PlatformTest {};

TEST_F(DebugPrivilegeTest, IsEnabledInTheOwnTokenWhichIsThenClosed) {
  EnableDebugPrivilege();
  EXPECT_TRUE(sim::World().debugPrivilegeEnabled);
  EXPECT_EQ(
      sim::World().journal,
      (Calls{"GetCurrentProcess()", "OpenProcessToken(current-process, 0x28)",
             "LookupPrivilegeValueW(null, \"SeDebugPrivilege\")",
             "AdjustTokenPrivileges(token, 0, 1:20:0x2, 16, null, null)", "CloseHandle(token)"}));
  EXPECT_EQ(sim::OpenHandleCount(), 0u);
}

TEST_F(DebugPrivilegeTest, FailuresEndQuietlyClosingOnlyWhatWasOpened) {
  sim::World().tokenOpenFails = true;
  EnableDebugPrivilege();
  EXPECT_TRUE(sim::CallsTo("CloseHandle").empty());
  EXPECT_TRUE(sim::CallsTo("AdjustTokenPrivileges").empty());

  sim::Reset();
  sim::World().privilegeLookupFails = true;
  EnableDebugPrivilege();
  EXPECT_TRUE(sim::CallsTo("AdjustTokenPrivileges").empty());
  EXPECT_EQ(sim::CallsTo("CloseHandle"), Calls{"CloseHandle(token)"});
  EXPECT_FALSE(sim::World().debugPrivilegeEnabled);
  EXPECT_EQ(sim::World().badCloses, 0);
}

}  // namespace
