// SPDX-FileCopyrightText: 2026 The Orvello authors
// SPDX-License-Identifier: MIT
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "fake/fake_platform.h"
#include "recovery/recovery.h"
#include "shell/shell.h"

namespace {

using Fake::Op;
using Strings = std::vector<std::string>;

std::u16string Wide(const char* text)
{
    return std::u16string(text, text + std::char_traits<char>::length(text));
}

class ScheduleTest : public testing::Test {
protected:
    void SetUp() override { Fake::Reset(); }
    void TearDown() override
    {
        EXPECT_TRUE(Fake::Balanced());
        EXPECT_EQ(Fake::Platform().violations, Strings{});
        EXPECT_EQ(Fake::Calls({Op::Snapshot}).size(), 60u);
    }
};

TEST_F(ScheduleTest, NothingPresentStillMakesSixtyChecksAndFourPauses)
{
    RunCheckSchedule();
    Strings expected;
    for (int pass = 1; pass <= 5; ++pass) {
        for (int check = 0; check < 12; ++check) {
            expected.push_back("GetPresentDevices");
        }
        if (pass < 5) {
            expected.push_back("Pause 5000");
        }
    }
    EXPECT_EQ(Fake::Calls({Op::Snapshot, Op::Pause}), expected);
}

TEST_F(ScheduleTest, ChecksFollowTableOrderEveryPass)
{
    // Present in reverse order, so snapshot order cannot pass for table order.
    for (auto id = TargetHardwareIds.rbegin(); id != TargetHardwareIds.rend(); ++id) {
        Fake::AddDevice(Fake::MultiSz({Wide(*id)}));
    }
    RunCheckSchedule();
    Strings pass;
    for (int entry = 0; entry < 12; ++entry) {
        pass.push_back("GetDevNodeStatus " + std::to_string(100 + 11 - entry));
    }
    const Strings statuses = Fake::Calls({Op::Status});
    ASSERT_EQ(statuses.size(), 60u);
    for (int p = 0; p < 5; ++p) {
        EXPECT_EQ(Strings(statuses.begin() + p * 12, statuses.begin() + (p + 1) * 12), pass) << "pass " << p + 1;
    }
    EXPECT_EQ(Fake::Calls({Op::Disable}), Strings{});
}

TEST_F(ScheduleTest, PersistentlyFaultyDeviceIsCycledOncePerPass)
{
    Fake::AddDevice(Fake::MultiSz({u"USB\\VID_05E3&PID_0610&REV_6941"}), Fake::HealthyStatus | DN_HAS_PROBLEM);
    RunCheckSchedule();
    const Strings cycle = {"DisableDevNode 100", "Pause 3000", "EnableDevNode 100"};
    Strings expected;
    for (int pass = 1; pass <= 5; ++pass) {
        expected.insert(expected.end(), cycle.begin(), cycle.end());
        if (pass < 5) {
            expected.push_back("Pause 5000");
        }
    }
    EXPECT_EQ(Fake::Calls({Op::Disable, Op::Pause, Op::Enable}), expected);
}

TEST_F(ScheduleTest, FailingChecksNeverShortenTheSchedule)
{
    Fake::AddDevice(Fake::MultiSz({u"USB\\VID_05E3&PID_0625&REV_3000"}), Fake::HealthyStatus | DN_HAS_PROBLEM);
    Fake::Platform().devices[0].disableResult = CR_FAILURE;
    for (int nth = 0; nth < 60; nth += 12) {
        Fake::FailNth(Op::Snapshot, nth, 8);  // the first check of every pass
    }
    testing::internal::CaptureStdout();
    RunCheckSchedule();
    const std::string printed = testing::internal::GetCapturedStdout();
    EXPECT_EQ(Fake::Calls({Op::Pause}), Strings(4, "Pause 5000"));
    // The last check of each pass finds the device and fails to disable it.
    EXPECT_EQ(Fake::Calls({Op::Disable}).size(), 5u);
    EXPECT_EQ(printed.size(), std::string("SetupDiGetClassDevs() failed. Error code=8").size() * 5);
}

}  // namespace
