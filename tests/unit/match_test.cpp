// SPDX-FileCopyrightText: 2026 The Orvello authors
// SPDX-License-Identifier: MIT
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "recovery/recovery.h"

#ifdef __linux__
#include <sys/mman.h>
#include <unistd.h>
#endif

namespace {

const std::string Target = "USB\\VID_05E3&PID_0610&REV_6941";

// A hardware-ID multi-string as the platform hands it over.
std::vector<WCHAR> Ids(std::initializer_list<std::u16string> ids)
{
    std::vector<WCHAR> units;
    for (const std::u16string& id : ids) {
        units.insert(units.end(), id.begin(), id.end());
        units.push_back(0);
    }
    units.push_back(0);
    return units;
}

bool Match(std::initializer_list<std::u16string> ids, const std::string& target = Target)
{
    return MatchHardwareId(Ids(ids).data(), target);
}

TEST(MatchHardwareId, FirstIdEqualToTargetMatches)
{
    EXPECT_TRUE(Match({u"USB\\VID_05E3&PID_0610&REV_6941", u"USB\\VID_05E3&PID_0610"}));
}

TEST(MatchHardwareId, LongerFirstIdStillMatches)
{
    EXPECT_TRUE(Match({u"USB\\VID_05E3&PID_0610&REV_69410"}));
    EXPECT_TRUE(Match({u"USB\\VID_05E3&PID_0610&REV_6941&MI_00"}));
}

TEST(MatchHardwareId, ShorterOrDifferentFirstIdDoesNotMatch)
{
    EXPECT_FALSE(Match({u"USB\\VID_05E3&PID_0610&REV_694"}));
    EXPECT_FALSE(Match({u"USB\\VID_05E3&PID_0610&REV_6942"}));
    EXPECT_FALSE(Match({u" USB\\VID_05E3&PID_0610&REV_6941"}));
}

TEST(MatchHardwareId, ComparisonIsCaseSensitive)
{
    EXPECT_FALSE(Match({u"usb\\vid_05e3&pid_0610&rev_6941"}));
    EXPECT_FALSE(Match({u"USB\\VID_05e3&PID_0610&REV_6941"}));
}

TEST(MatchHardwareId, OnlyTheFirstIdCounts)
{
    EXPECT_FALSE(Match({u"USB\\VID_05E3&PID_0610", u"USB\\VID_05E3&PID_0610&REV_6941"}));
}

TEST(MatchHardwareId, EmptyFirstIdMatchesNoTarget)
{
    EXPECT_FALSE(Match({u"", u"USB\\VID_05E3&PID_0610&REV_6941"}));
    const WCHAR empty[] = {0, 0};
    EXPECT_FALSE(MatchHardwareId(empty, Target));
}

TEST(MatchHardwareId, NullBufferNeverMatches)
{
    EXPECT_FALSE(MatchHardwareId(nullptr, Target));
    EXPECT_FALSE(MatchHardwareId(nullptr, ""));
}

TEST(MatchHardwareId, TargetEndsAtItsFirstZeroByte)
{
    const std::string withZero("USB\\VID_05E3\0garbage", 20);
    EXPECT_TRUE(Match({u"USB\\VID_05E3&PID_0625&REV_3000"}, withZero));
}

TEST(MatchHardwareId, CharactersPastTheTargetTakeNoPart)
{
    EXPECT_TRUE(Match({u"USB\\VID_05E3&PID_0610&REV_6941\u4E2D\uFFFF\xD800"}));
}

#ifndef _WIN32
TEST(MatchHardwareId, NonAsciiWithinTargetComparesAsReplaced)
{
    // Without a code page, anything outside ASCII converts to '?'.
    EXPECT_TRUE(Match({u"USB\\VID_05E3&PID_0610&REV_694\u00E9"}, "USB\\VID_05E3&PID_0610&REV_694?"));
    EXPECT_FALSE(Match({u"USB\\VID_05E3&PID_0610&REV_694\u00E9"}, "USB\\VID_05E3&PID_0610&REV_694e"));
}
#endif

#ifdef __linux__
// An ID of 0x3FFFFFFF units (2 GiB with its terminator) is refused before any
// conversion. The buffer is one small chunk mapped over and over, so the test
// costs address space, not memory.
TEST(MatchHardwareId, OverLongFirstIdDoesNotMatch)
{
    if (getenv("ORVELLO_SKIP_HUGE") != nullptr) {
        GTEST_SKIP() << "huge-buffer case skipped in this run";
    }
    constexpr size_t Chunk = 2u << 20;
    constexpr size_t Total = size_t{0x40000000} * sizeof(WCHAR);
    const int letters = memfd_create("ids", 0);
    const int last = memfd_create("ids-end", 0);
    ASSERT_GE(letters, 0);
    ASSERT_GE(last, 0);
    std::vector<WCHAR> units(Chunk / sizeof(WCHAR), u'A');
    ASSERT_EQ(write(letters, units.data(), Chunk), static_cast<ssize_t>(Chunk));
    units.back() = 0;
    ASSERT_EQ(write(last, units.data(), Chunk), static_cast<ssize_t>(Chunk));

    char* base = static_cast<char*>(mmap(nullptr, Total, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
    ASSERT_NE(base, MAP_FAILED);
    for (size_t offset = 0; offset < Total; offset += Chunk) {
        const int fd = offset + Chunk == Total ? last : letters;
        ASSERT_NE(mmap(base + offset, Chunk, PROT_READ, MAP_SHARED | MAP_FIXED, fd, 0), MAP_FAILED);
    }
    const WCHAR* ids = reinterpret_cast<const WCHAR*>(base);
    EXPECT_FALSE(MatchHardwareId(ids, "A"));

    munmap(base, Total);
    close(letters);
    close(last);
}
#endif

}  // namespace
