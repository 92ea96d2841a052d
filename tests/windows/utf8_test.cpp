// SPDX-FileCopyrightText: 2026 The Orvello authors
// SPDX-License-Identifier: MIT
// Matching where the ANSI code page is UTF-8 (this program's manifest asks
// for it): one UTF-16 unit can then take three bytes.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include <windows.h>

#include "recovery/recovery.h"

namespace {

bool Match(const std::wstring& firstId, const std::string& target)
{
    std::vector<WCHAR> ids(firstId.begin(), firstId.end());
    ids.push_back(0);
    ids.push_back(0);
    return MatchHardwareId(ids.data(), target);
}

TEST(Utf8CodePage, ThreadCodePageIsUtf8)
{
    CPINFOEXW info{};
    ASSERT_TRUE(GetCPInfoExW(CP_THREAD_ACP, 0, &info));
    ASSERT_EQ(info.CodePage, static_cast<UINT>(CP_UTF8));
}

TEST(Utf8CodePage, IdNeedingThreeBytesPerUnitStillConverts)
{
    // Twelve CJK units need 37 bytes with the terminator, more than two per unit.
    const std::wstring id(12, L'\u4E2D');
    std::string target;
    for (int i = 0; i < 12; ++i) {
        target += "\xE4\xB8\xAD";
    }
    EXPECT_TRUE(Match(id, target));
    EXPECT_TRUE(Match(id + L"\u00E9", target));
    EXPECT_FALSE(Match(id.substr(0, 11), target));
}

TEST(Utf8CodePage, AsciiIdsMatchAsEverywhere)
{
    EXPECT_TRUE(Match(L"USB\\VID_05E3&PID_0610&REV_6941", "USB\\VID_05E3&PID_0610&REV_6941"));
    EXPECT_TRUE(Match(L"USB\\VID_05E3&PID_0610&REV_6941\u4E2D", "USB\\VID_05E3&PID_0610&REV_6941"));
    EXPECT_FALSE(Match(L"usb\\vid_05e3&pid_0610&rev_6941", "USB\\VID_05E3&PID_0610&REV_6941"));
}

}  // namespace
