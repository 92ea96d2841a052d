// SPDX-FileCopyrightText: 2026 The Orvello authors
// SPDX-License-Identifier: MIT
// Trace lines run through the real command interpreter and land in the log.
#include <gtest/gtest.h>

#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include <windows.h>

#include "fake/fake_platform.h"
#include "recovery/recovery.h"

namespace {

const char LogFile[] = "C:\\ProgramData\\Tamrisk.txt";

std::vector<std::string> LogLines()
{
    std::ifstream log(LogFile, std::ios::binary);
    std::vector<std::string> lines;
    std::string line;
    while (std::getline(log, line)) {
        lines.push_back(line);
    }
    return lines;
}

class TraceLog : public testing::Test {
protected:
    void SetUp() override
    {
        Fake::Reset();
        Fake::Platform().runCommands = true;
        DeleteFileA(LogFile);
    }
    void TearDown() override
    {
        TraceEnabled = 0;
        DeleteFileA(LogFile);
        EXPECT_TRUE(Fake::Balanced());
    }
};

TEST_F(TraceLog, CycledDeviceAppendsTimeStampedLinesInOrder)
{
    TraceEnabled = 1;
    // The interpreter fails to start for the third line: it is run again,
    // and lands in the log once.
    Fake::FailNth(Fake::Op::Command, 2, 8);
    const auto index = Fake::AddDevice(Fake::MultiSz({u"USB\\VID_05E3&PID_0625&REV_2001"}), 0x0180240A);
    Fake::Platform().devices[index].enableResult = CR_FAILURE;
    EXPECT_FALSE(CheckDevice("USB\\VID_05E3&PID_0625&REV_2001"));
    Fake::Platform().devices[index].statusResult = 0x0000000D;
    Fake::Platform().devices[index].disableResult = CR_FAILURE;
    EXPECT_FALSE(CheckDevice("USB\\VID_05E3&PID_0625&REV_2001"));

    // The interpreter expands %time% in its locale's format ("13:05:09.41"
    // on Windows, "1:05 PM" under Wine); it must be expanded, whatever the form.
    const std::string time = R"(\[[^\]%]*\d:\d\d[^\]%]*\])";
    const std::vector<std::string> expected = {
        "25175050\r?",
        time + R"( Yellow bang \r?)",
        time + R"( disable Device \r?)",
        time + R"( enable Device \r?)",
        time + R"( enable Device fail \r?)",
        time + R"(  disable device \r?)",
        time + R"( disable Device \r?)",
        time + R"( disable Device fail \r?)",
    };
    const std::vector<std::string> lines = LogLines();
    ASSERT_EQ(lines.size(), expected.size());
    for (std::size_t i = 0; i < lines.size(); ++i) {
        EXPECT_TRUE(std::regex_match(lines[i], std::regex(expected[i]))) << "line " << i << ": " << lines[i];
    }
}

TEST_F(TraceLog, SwitchOffRunsNothingAndCreatesNoLog)
{
    TraceEnabled = 0;
    Fake::AddDevice(Fake::MultiSz({u"USB\\VID_05E3&PID_0625&REV_2001"}), 0x0180240A);
    EXPECT_TRUE(CheckDevice("USB\\VID_05E3&PID_0625&REV_2001"));
    EXPECT_EQ(GetFileAttributesA(LogFile), INVALID_FILE_ATTRIBUTES);
}

}  // namespace
