// The C interface's own work: strings in and out, buffer sizes, null
// pointers, positions. The naming rules behind the codes are tested on the
// C++ layer.
#include "capi/client_launch.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <tuple>
#include <vector>

#include "platform/platform.h"
#include "support/release_fixture.h"

namespace {

using KString = std::vector<kl_char>;

KString K(const WideString& s) {
  KString out(s.begin(), s.end());
  out.push_back(0);
  return out;
}

WideString W(const kl_char* s) {
  WideString out;
  for (; *s; ++s) out += static_cast<char16_t>(*s);
  return out;
}

class ClientLaunchCTest : public PlatformTest {
 protected:
  void SetUp() override {
    PlatformTest::SetUp();
    demo::InstallClient();
    sim::AddFile(u"C:\\Kelvo\\new.bin", "version 2");
  }
  const KString updater_ = K(u"C:\\Kelvo\\updater.exe");
};

TEST_F(ClientLaunchCTest, ALineComesOutWholeOrNotAtAllWithTheSizeItNeeds) {
  const WideString expected = u"\"C:\\Kelvo\\updater.exe\" --files a.dll|b c.dll";
  const KString a = K(u"a.dll"), b = K(u"b c.dll");
  const kl_char* names[] = {a.data(), b.data()};
  uint32_t needed = 0, refused = 0;
  // The size asked with no buffer, then one unit short: nothing written.
  EXPECT_EQ(KlBuildUpdateLine(updater_.data(), names, 2, nullptr, 0, &needed, &refused),
            KL_BUFFER_TOO_SMALL);
  EXPECT_EQ(needed, expected.size() + 1);
  KString line(needed, u'#');
  EXPECT_EQ(KlBuildUpdateLine(updater_.data(), names, 2, line.data(), needed - 1, &needed, nullptr),
            KL_BUFFER_TOO_SMALL);
  EXPECT_EQ(line, KString(needed, u'#'));
  EXPECT_EQ(KlBuildUpdateLine(updater_.data(), names, 2, line.data(), needed, nullptr, &refused),
            KL_OK);
  EXPECT_EQ(W(line.data()), expected);
  EXPECT_EQ(refused, KL_NO_NAME);
  // A buffer of some size that is not there.
  EXPECT_EQ(KlBuildCleanCacheLine(updater_.data(), nullptr, 64, &needed), KL_NULL_ARGUMENT);
  EXPECT_EQ(KlBuildCleanCacheLine(updater_.data(), line.data(), needed, &needed), KL_OK);
  EXPECT_EQ(W(line.data()), u"\"C:\\Kelvo\\updater.exe\" --cleanCache");
}

TEST_F(ClientLaunchCTest, ARefusalNamesTheIndexAndNullPointersGetACode) {
  const KString good = K(u"core.dll"), duplicate = K(u"CORE.DLL");
  const kl_char* names[] = {good.data(), good.data(), duplicate.data()};
  KString line(16, u'#');
  uint32_t needed = 7, refused = 0;
  EXPECT_EQ(KlBuildUpdateLine(updater_.data(), names, 3, line.data(), 16, &needed, &refused),
            KL_REFUSED_DUPLICATE_NAME);
  EXPECT_EQ(refused, 1u);
  EXPECT_EQ(needed, 7u);  // a refused list has no size
  EXPECT_EQ(line, KString(16, u'#'));
  EXPECT_EQ(KlBuildUpdateLine(updater_.data(), names, 0, nullptr, 0, nullptr, &refused),
            KL_REFUSED_EMPTY_LIST);
  EXPECT_EQ(refused, KL_NO_NAME);
  EXPECT_EQ(KlBuildUpdateLine(K(u"updater.exe").data(), names, 1, nullptr, 0, nullptr, &refused),
            KL_REFUSED_UPDATER_PATH);
  EXPECT_EQ(refused, KL_NO_NAME);

  const kl_char* holed[] = {good.data(), nullptr};
  EXPECT_EQ(KlBuildUpdateLine(updater_.data(), holed, 2, line.data(), 16, &needed, &refused),
            KL_NULL_ARGUMENT);
  EXPECT_EQ(refused, 1u);
  EXPECT_EQ(KlBuildUpdateLine(updater_.data(), nullptr, 1, line.data(), 16, &needed, nullptr),
            KL_NULL_ARGUMENT);
  EXPECT_EQ(KlBuildUpdateLine(nullptr, names, 1, line.data(), 16, &needed, nullptr),
            KL_NULL_ARGUMENT);
  EXPECT_EQ(KlBuildCleanCacheLine(nullptr, line.data(), 16, &needed), KL_NULL_ARGUMENT);
  EXPECT_EQ(KlStageFile(nullptr, good.data()), KL_NULL_ARGUMENT);
  EXPECT_EQ(KlStageFile(good.data(), nullptr), KL_NULL_ARGUMENT);
  EXPECT_EQ(KlStartUpdater(nullptr), KL_NULL_ARGUMENT);
}

TEST_F(ClientLaunchCTest, StagesAndStartsAndSaysWhyNot) {
  EXPECT_EQ(KlStageFile(K(u"C:\\Kelvo\\new.bin").data(), K(u"lang\\en.pak").data()), KL_OK);
  EXPECT_EQ(sim::ContentOf(demo::StagedFile(u"lang\\en.pak")), "version 2");
  EXPECT_EQ(KlStageFile(K(u"C:\\Kelvo\\missing.bin").data(), K(u"core.dll").data()),
            KL_FAILED_SOURCE_MISSING);
  EXPECT_EQ(KlStageFile(K(u"C:\\Kelvo\\new.bin").data(), K(u"CON.txt").data()),
            KL_REFUSED_DEVICE_NAME);

  sim::AddFile(u"C:\\Kelvo\\updater.exe", "updater");
  const KString line = K(u"\"C:\\Kelvo\\updater.exe\" --cleanCache");
  EXPECT_EQ(KlStartUpdater(line.data()), KL_OK);
  sim::World().launchResult = false;  // the user declined elevation
  EXPECT_EQ(KlStartUpdater(line.data()), KL_START_FAILED);
  EXPECT_EQ(sim::World().launches.size(), 1u);
}

TEST_F(ClientLaunchCTest, EveryCodeHasAText) {
  std::vector<kl_code> codes = {KL_NULL_ARGUMENT, KL_BUFFER_TOO_SMALL, KL_START_FAILED,
                                KL_UNKNOWN_CODE, KL_NO_SUCH_FILE};
  for (kl_code c = KL_OK; c <= KL_REFUSED_WINDOW; ++c) codes.push_back(c);
  std::vector<WideString> texts;
  for (const kl_code code : codes) {
    uint32_t needed = 0;
    ASSERT_EQ(KlCodeText(code, nullptr, 0, &needed), KL_BUFFER_TOO_SMALL) << code;
    KString text(needed);
    ASSERT_EQ(KlCodeText(code, text.data(), needed, nullptr), KL_OK) << code;
    texts.push_back(W(text.data()));
    EXPECT_EQ(texts.back().size() + 1, needed) << code;
  }
  std::sort(texts.begin(), texts.end());
  EXPECT_EQ(std::unique(texts.begin(), texts.end()), texts.end());
  KString untouched(4, u'#');
  EXPECT_EQ(KlCodeText(KL_REFUSED_REPLAY + 1, untouched.data(), 4, nullptr), KL_UNKNOWN_CODE);
  EXPECT_EQ(KlCodeText(-1, untouched.data(), 4, nullptr), KL_UNKNOWN_CODE);
  EXPECT_EQ(untouched, KString(4, u'#'));
}

class ClientLaunchReleaseTest : public ReleaseTest {};

// The same cycle through the C interface: the handle, its accessors, the
// callback, and the codes where C++ has its refusals.
TEST_F(ClientLaunchReleaseTest, ChecksFetchesAndAppliesThroughAHandle) {
  Publish("2.0", version2_);
  sim::AddFile(u"C:\\Kelvo\\updater.exe", "updater");
  const auto k = [](const WideString& s) { return reinterpret_cast<const kl_char*>(s.c_str()); };
  kl_release* r = reinterpret_cast<kl_release*>(1);
  std::uint32_t file = 0;
  EXPECT_EQ(KlCheckRelease(k(kSource), nullptr, k(query_.publicKey), k(u"Other"), k(u"C:\\Kelvo"),
                           k(u"1.0"), &r, &file),
            KL_REFUSED_PRODUCT);
  EXPECT_EQ(r, nullptr);
  EXPECT_EQ(file, KL_NO_NAME);
  EXPECT_EQ(KlCheckRelease(k(kSource), nullptr, nullptr, k(u"KelvoClient"), k(u"C:\\Kelvo"),
                           k(u"1.0"), &r, &file),
            KL_NULL_ARGUMENT);
  ASSERT_EQ(KlCheckRelease(k(kSource), k(u"stable"), k(query_.publicKey), k(u"KelvoClient"),
                           k(u"C:\\Kelvo\\"), k(u"1.0"), &r, &file),
            KL_OK);
  std::uint32_t needed = 0, changed = 0;
  std::uint64_t bytes = 0, total = 0, size = 0;
  kl_char text[16];
  EXPECT_EQ(KlReleaseVersion(r, text, 3, &needed), KL_BUFFER_TOO_SMALL);
  EXPECT_EQ(needed, 4u);
  ASSERT_EQ(KlReleaseVersion(r, text, 16, nullptr), KL_OK);
  EXPECT_EQ(WideString(reinterpret_cast<const char16_t*>(text)), u"2.0");
  ASSERT_EQ(KlReleaseSizes(r, &changed, &bytes, &total), KL_OK);
  EXPECT_EQ(std::make_tuple(changed, bytes, total),
            std::make_tuple(2u, std::uint64_t{19}, std::uint64_t{23}));
  // A folder of format 1: the files' own sizes are the bytes fetched.
  ASSERT_EQ(KlReleaseFileSizes(r, &bytes, &total), KL_OK);
  EXPECT_EQ(std::make_pair(bytes, total), std::make_pair(std::uint64_t{19}, std::uint64_t{23}));
  EXPECT_EQ(KlReleaseFileSizes(nullptr, &bytes, &total), KL_NULL_ARGUMENT);
  ASSERT_EQ(KlReleaseChangedFile(r, 1, text, 16, nullptr, &size), KL_OK);
  EXPECT_EQ(WideString(reinterpret_cast<const char16_t*>(text)), u"lang/de.pak");
  EXPECT_EQ(size, 9u);
  EXPECT_EQ(KlReleaseChangedFile(r, 2, text, 16, nullptr, &size), KL_NO_SUCH_FILE);
  // Stopped by the callback at once, then fetched; a file changed after
  // the fetch keeps the updater from starting.
  const kl_progress stop = [](std::uint64_t, std::uint64_t, void*) -> std::int32_t { return 0; };
  EXPECT_EQ(KlFetchRelease(r, stop, nullptr, &file), KL_STOPPED);
  std::uint64_t last = 0;
  const kl_progress note = [](std::uint64_t done, std::uint64_t, void* c) -> std::int32_t {
    *static_cast<std::uint64_t*>(c) = done;
    return 1;
  };
  ASSERT_EQ(KlFetchRelease(r, note, &last, &file), KL_OK);
  EXPECT_EQ(last, 19u);
  sim::AddFile(demo::StagedFile(u"KelvoClient.exe"), "tampered!!");
  EXPECT_EQ(KlApplyRelease(r, &file), KL_REFUSED_FILE_HASH);
  EXPECT_EQ(file, 0u);
  ASSERT_EQ(KlFetchRelease(r, nullptr, nullptr, &file), KL_OK);
  sim::World().launchResult = false;  // the user declined elevation
  EXPECT_EQ(KlApplyRelease(r, &file), KL_START_FAILED);
  sim::World().launchResult = true;
  EXPECT_EQ(KlApplyRelease(r, &file), KL_OK);
  EXPECT_EQ(sim::World().launches.back().parameters, u"--files KelvoClient.exe|lang/de.pak");
  KlFreeRelease(r);
  KlFreeRelease(nullptr);
  EXPECT_EQ(KlFetchRelease(nullptr, nullptr, nullptr, &file), KL_NULL_ARGUMENT);

  // Over the web, the check and the fetch say the client's user agent.
  ServeOnWeb("http://releases.example:80/kelvo/");
  for (const WideString name : {u"KelvoClient.exe", u"lang\\de.pak"})
    platform::DeleteFileW(demo::StagedFile(name).c_str());
  ASSERT_EQ(
      KlCheckReleaseAs(k(u"http://releases.example/kelvo"), nullptr, k(query_.publicKey),
                       k(u"KelvoClient"), k(u"C:\\Kelvo"), k(u"1.0"), k(u"KelvoC/1.0"), &r, &file),
      KL_OK);
  ASSERT_EQ(KlFetchRelease(r, nullptr, nullptr, &file), KL_OK);
  KlFreeRelease(r);
  // Each session it opened, for the check and for the fetch, says it.
  const std::vector<std::string> sessions = sim::CallsTo("WinHttpOpen");
  EXPECT_EQ(sessions.size(), 2u);
  for (const std::string& call : sessions) {
    EXPECT_EQ(call.rfind("WinHttpOpen(\"KelvoC/1.0\",", 0), 0u) << call;
  }
}

}  // namespace
