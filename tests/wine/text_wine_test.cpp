// Trimming and the "(COM" search on Windows walk the characters of the ANSI
// code page the text is in: the probe (x64 build) under wine64 with the
// Chinese locale (code page 936) and with a Western one (1252).
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "wine_harness.h"

namespace {

const std::string kProbe = std::string(Q48_WIN64_BIN) + "/q48_text_probe.exe";

// "é " in 1252; in 936, 0xE9 opens a character that takes the blank.
const char kLatinThenBlank[] = "E920";
// "Aé(COM5) (COM7)": in 936 the 0xE9 takes the first "(".
const char kLatinBeforeParenthesis[] = "41E928434F4D35292028434F4D3729";

class TextUnderWine : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!wine_.Unavailable().empty()) GTEST_SKIP() << wine_.Unavailable();
    if (!std::filesystem::exists(kProbe)) GTEST_SKIP() << kProbe << " is missing: build the windows-x64 preset first";
    ASSERT_EQ(wine_.EnsurePrefix(), "");
  }

  std::string Probe(const std::string& locale) {
    q48::wine::RunOptions run;
    run.program = kProbe;
    run.args = {kLatinThenBlank, kLatinBeforeParenthesis};
    run.environment = {{"LANG", locale}, {"LC_ALL", locale}};
    const q48::wine::RunResult result = wine_.Run(run);
    EXPECT_TRUE(result.started && !result.timed_out && result.exit_status == 0)
        << result.error << result.stderr_bytes;
    return result.stdout_bytes;
  }

  q48::wine::WineHarness wine_;
};

TEST_F(TextUnderWine, WalksTheAnsiCodePage) {
  EXPECT_EQ(Probe("zh_CN.UTF-8"), q48::wine::WithCrLf("acp 936\n"
                                                      "E920 0\n"
                                                      "41E928434F4D35292028434F4D3729 0\n"));
  EXPECT_EQ(Probe("C.UTF-8"), q48::wine::WithCrLf("acp 1252\n"
                                                  "E9 0\n"
                                                  "41E928434F4D35292028434F4D3729 5\n"));
}

}  // namespace
