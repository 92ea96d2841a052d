// SPDX-FileCopyrightText: 2026 The Orvello authors
// SPDX-License-Identifier: MIT
// Matching through the platform's own conversion, under the thread's ANSI
// code page.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include <windows.h>

#include "recovery/recovery.h"

namespace {

// Runs the matches of one test under a given thread locale.
class ThreadLocale : public testing::Test {
protected:
    void TearDown() override { SetThreadLocale(saved_); }
    static void Use(LANGID language) { ASSERT_TRUE(SetThreadLocale(MAKELCID(language, SORT_DEFAULT))); }
    static UINT ThreadCodePage()
    {
        CPINFOEXW info{};
        GetCPInfoExW(CP_THREAD_ACP, 0, &info);
        return info.CodePage;
    }

private:
    LCID saved_ = GetThreadLocale();
};

bool Match(const std::wstring& firstId, const std::string& target)
{
    std::vector<WCHAR> ids(firstId.begin(), firstId.end());
    ids.push_back(0);
    ids.push_back(0);
    return MatchHardwareId(ids.data(), target);
}

const std::wstring Base = L"USB\\VID_05E3&PID_0610&REV_";
const std::string NarrowBase = "USB\\VID_05E3&PID_0610&REV_";

TEST_F(ThreadLocale, WesternCodePageReplacesWhatItCannotRepresent)
{
    Use(MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US));
    ASSERT_EQ(ThreadCodePage(), 1252u);
    EXPECT_TRUE(Match(Base + L"69\u00E9", NarrowBase + "69\xE9"));
    // U+4E2D has no place in 1252: the default character stands in for it.
    EXPECT_TRUE(Match(Base + L"69\u4E2D1", NarrowBase + "69?1"));
    EXPECT_FALSE(Match(Base + L"69\u4E2D1", NarrowBase + "6941"));
    // Past the target's length nothing is compared.
    EXPECT_TRUE(Match(Base + L"6941\u4E2D\U0001F600", NarrowBase + "6941"));
}

TEST_F(ThreadLocale, DoubleByteCodePageComparesConvertedBytes)
{
    Use(MAKELANGID(LANG_CHINESE, SUBLANG_CHINESE_TRADITIONAL));
    ASSERT_EQ(ThreadCodePage(), 950u);
    // U+4E2D is 0xA4 0xA4 in code page 950.
    EXPECT_TRUE(Match(Base + L"\u4E2D41", NarrowBase + "\xA4\xA4" "41"));
    EXPECT_FALSE(Match(Base + L"\u4E2D41", NarrowBase + "?41"));
    EXPECT_TRUE(Match(Base + L"6941", NarrowBase + "6941"));
    EXPECT_FALSE(Match(Base + L"694", NarrowBase + "6941"));
}

TEST_F(ThreadLocale, JapaneseCodePageConvertsTheSameId)
{
    Use(MAKELANGID(LANG_JAPANESE, SUBLANG_JAPANESE_JAPAN));
    ASSERT_EQ(ThreadCodePage(), 932u);
    // U+4E2D is 0x92 0x86 in code page 932.
    EXPECT_TRUE(Match(Base + L"\u4E2D41", NarrowBase + "\x92\x86" "41"));
    EXPECT_TRUE(Match(L"USB\\VID_05E3&PID_0625&REV_3000", "USB\\VID_05E3&PID_0625&REV_3000"));
}

}  // namespace
