// The C interface's own work: strings in and out, buffer sizes, null
// pointers, positions. The naming rules behind the codes are tested on the
// C++ layer.
#include "launch/client_launch.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

#include "sim/sim.h"
#include "support/demo_machine.h"
#include "support/fixture.h"

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
  for (kl_code c = KL_OK; c <= KL_FAILED_BUSY; ++c) codes.push_back(c);
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
  EXPECT_EQ(KlCodeText(KL_FAILED_BUSY + 1, untouched.data(), 4, nullptr), KL_UNKNOWN_CODE);
  EXPECT_EQ(KlCodeText(-1, untouched.data(), 4, nullptr), KL_UNKNOWN_CODE);
  EXPECT_EQ(untouched, KString(4, u'#'));
}

}  // namespace
