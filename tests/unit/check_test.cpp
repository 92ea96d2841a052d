// SPDX-FileCopyrightText: 2026 The Orvello authors
// SPDX-License-Identifier: MIT
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "fake/fake_platform.h"
#include "recovery/recovery.h"

namespace {

using Fake::Op;
using Strings = std::vector<std::string>;

const std::string Target = "USB\\VID_05E3&PID_0610&REV_6941";
const std::u16string TargetId = u"USB\\VID_05E3&PID_0610&REV_6941";
const std::u16string OtherId = u"USB\\VID_046D&PID_C52B&REV_1211";
const ULONG FaultyStatus = Fake::HealthyStatus | DN_HAS_PROBLEM;

const std::string Log = " >> C:\\ProgramData\\Tamrisk.txt";
const std::string StatusUnreadableLine = "echo [%time%]  disable device" + Log;
const std::string YellowBangLine = "echo [%time%] Yellow bang" + Log;
const std::string NoYellowBangLine = "echo [%time%] No Yellow bang" + Log;
const std::string DisablingLine = "echo [%time%] disable Device" + Log;
const std::string DisableFailedLine = "echo [%time%] disable Device fail" + Log;
const std::string EnablingLine = "echo [%time%] enable Device" + Log;
const std::string EnableFailedLine = "echo [%time%] enable Device fail" + Log;

std::string StatusLine(ULONG status)
{
    return "echo " + std::to_string(status) + ">> C:\\ProgramData\\Tamrisk.txt";
}

// Every check runs against a fresh fake platform with tracing on, and must
// leave no snapshot or buffer behind and no misuse of the seam.
class CheckDeviceTest : public testing::Test {
protected:
    void SetUp() override
    {
        Fake::Reset();
        TraceEnabled = 1;
    }
    void TearDown() override
    {
        EXPECT_TRUE(Fake::Balanced()) << "snapshots " << Fake::Platform().snapshotsTaken << "/"
                                      << Fake::Platform().snapshotsReleased << ", buffers "
                                      << Fake::Platform().buffersAllocated << "/" << Fake::Platform().buffersFreed;
        EXPECT_EQ(Fake::Platform().violations, Strings{});
        TraceEnabled = 0;
    }
    static Strings NodeCalls() { return Fake::Calls({Op::Status, Op::Disable, Op::Pause, Op::Enable}); }
    static Strings Traces() { return Fake::Calls({Op::Command}); }
};

TEST_F(CheckDeviceTest, HealthyDeviceIsLeftAloneAndWalkStops)
{
    Fake::AddDevice(Fake::MultiSz({OtherId}));
    Fake::AddDevice(Fake::MultiSz({TargetId}), Fake::HealthyStatus);
    Fake::AddDevice(Fake::MultiSz({TargetId}), FaultyStatus);

    EXPECT_TRUE(CheckDevice(Target));
    EXPECT_EQ(NodeCalls(), Strings{"GetDevNodeStatus 101"});
    EXPECT_EQ(Fake::Calls({Op::Enum}), (Strings{"EnumDeviceInfo 0", "EnumDeviceInfo 1"}));
    EXPECT_EQ(Traces(), (Strings{StatusLine(Fake::HealthyStatus), NoYellowBangLine}));
}

TEST_F(CheckDeviceTest, FaultyDeviceIsCycledWithPauseBetween)
{
    Fake::AddDevice(Fake::MultiSz({TargetId, u"USB\\VID_05E3&PID_0610"}), FaultyStatus);

    EXPECT_TRUE(CheckDevice(Target));
    EXPECT_EQ(NodeCalls(), (Strings{"GetDevNodeStatus 100", "DisableDevNode 100", "Pause 3000", "EnableDevNode 100"}));
    EXPECT_EQ(Traces(), (Strings{StatusLine(FaultyStatus), YellowBangLine, DisablingLine, EnablingLine}));
    // The property buffer is gone before the device is touched, and the
    // snapshot outlives the cycle.
    const Strings all = Fake::AllCalls();
    EXPECT_EQ(all.back(), "DestroyDeviceInfoList");
    const auto status = std::find(all.begin(), all.end(), "GetDevNodeStatus 100");
    EXPECT_EQ(*(status - 1), "FreeBuffer");
}

TEST_F(CheckDeviceTest, OnlyFirstMatchingDeviceIsExamined)
{
    Fake::AddDevice(Fake::MultiSz({TargetId}), FaultyStatus);
    Fake::AddDevice(Fake::MultiSz({TargetId}), FaultyStatus);

    EXPECT_TRUE(CheckDevice(Target));
    EXPECT_EQ(NodeCalls(), (Strings{"GetDevNodeStatus 100", "DisableDevNode 100", "Pause 3000", "EnableDevNode 100"}));
    EXPECT_EQ(Fake::Calls({Op::Enum}), Strings{"EnumDeviceInfo 0"});
}

TEST_F(CheckDeviceTest, UnreadableStatusIsCycledLikeAProblem)
{
    const auto index = Fake::AddDevice(Fake::MultiSz({TargetId}));
    Fake::Platform().devices[index].statusResult = 0x0000000D;  // CR_NO_SUCH_DEVNODE

    EXPECT_TRUE(CheckDevice(Target));
    EXPECT_EQ(NodeCalls(), (Strings{"GetDevNodeStatus 100", "DisableDevNode 100", "Pause 3000", "EnableDevNode 100"}));
    EXPECT_EQ(Traces(), (Strings{StatusUnreadableLine, DisablingLine, EnablingLine}));
}

TEST_F(CheckDeviceTest, FailedDisableIsNotFollowedByPauseOrEnable)
{
    const auto index = Fake::AddDevice(Fake::MultiSz({TargetId}), FaultyStatus);
    Fake::Platform().devices[index].disableResult = CR_FAILURE;

    EXPECT_FALSE(CheckDevice(Target));
    EXPECT_EQ(NodeCalls(), (Strings{"GetDevNodeStatus 100", "DisableDevNode 100"}));
    EXPECT_EQ(Traces(), (Strings{StatusLine(FaultyStatus), YellowBangLine, DisablingLine, DisableFailedLine}));
}

TEST_F(CheckDeviceTest, FailedEnableLeavesDeviceDisabledForTheNextCheck)
{
    const auto index = Fake::AddDevice(Fake::MultiSz({TargetId}), Fake::HealthyStatus);
    Fake::Platform().devices[index].statusResult = 0x0000000D;
    Fake::Platform().devices[index].enableResult = CR_FAILURE;

    EXPECT_FALSE(CheckDevice(Target));
    EXPECT_EQ(Traces(), (Strings{StatusUnreadableLine, DisablingLine, EnablingLine, EnableFailedLine}));
    EXPECT_TRUE(Fake::Platform().devices[index].disabled);

    // The next check finds the disabled node afresh, with its new status.
    Fake::Platform().calls.clear();
    Fake::Platform().devices[index].statusResult = CR_SUCCESS;
    Fake::Platform().devices[index].enableResult = CR_SUCCESS;
    EXPECT_TRUE(CheckDevice(Target));
    EXPECT_EQ(Traces(), (Strings{StatusLine(FaultyStatus), YellowBangLine, DisablingLine, EnablingLine}));
    EXPECT_FALSE(Fake::Platform().devices[index].disabled);
}

TEST_F(CheckDeviceTest, FaultInsideDisableTakesDisableFailedPath)
{
    for (const Fake::Fault fault : {Fake::Fault::AccessViolation, Fake::Fault::Raise}) {
        Fake::Reset();
        const auto index = Fake::AddDevice(Fake::MultiSz({TargetId}), FaultyStatus);
        Fake::Platform().devices[index].disableFault = fault;
        EXPECT_FALSE(CheckDevice(Target));
        EXPECT_EQ(NodeCalls(), (Strings{"GetDevNodeStatus 100", "DisableDevNode 100"}));
        EXPECT_EQ(Traces(), (Strings{StatusLine(FaultyStatus), YellowBangLine, DisablingLine, DisableFailedLine}));
        EXPECT_TRUE(Fake::Balanced());
    }
}

TEST_F(CheckDeviceTest, FaultInsideEnableTakesEnableFailedPath)
{
    for (const Fake::Fault fault : {Fake::Fault::AccessViolation, Fake::Fault::Raise}) {
        Fake::Reset();
        const auto index = Fake::AddDevice(Fake::MultiSz({TargetId}), FaultyStatus);
        Fake::Platform().devices[index].enableFault = fault;
        EXPECT_FALSE(CheckDevice(Target));
        EXPECT_EQ(NodeCalls(), (Strings{"GetDevNodeStatus 100", "DisableDevNode 100", "Pause 3000", "EnableDevNode 100"}));
        EXPECT_EQ(Traces(), (Strings{StatusLine(FaultyStatus), YellowBangLine, DisablingLine, EnablingLine,
                                     EnableFailedLine}));
        EXPECT_TRUE(Fake::Balanced());
        // The check after a fault runs normally.
        Fake::Platform().devices[index].enableFault = Fake::Fault::None;
        EXPECT_TRUE(CheckDevice(Target));
    }
}

TEST_F(CheckDeviceTest, StatusWordIsTracedInUnsignedDecimal)
{
    const auto zero = Fake::AddDevice(Fake::MultiSz({TargetId}), 0);
    EXPECT_TRUE(CheckDevice(Target));
    EXPECT_EQ(Traces().front(), "echo 0>> C:\\ProgramData\\Tamrisk.txt");

    Fake::Platform().calls.clear();
    Fake::Platform().devices[zero].status = 0xFFFFFFFF;
    EXPECT_TRUE(CheckDevice(Target));
    EXPECT_EQ(Traces().front(), "echo 4294967295>> C:\\ProgramData\\Tamrisk.txt");
}

TEST_F(CheckDeviceTest, TraceLineNeverRunIsTriedAgainBrieflyAndOnlyThen)
{
    Fake::AddDevice(Fake::MultiSz({TargetId}), FaultyStatus);
    // The interpreter fails to start once, then runs every line.
    Fake::FailNth(Op::Command, 1, 8);  // ERROR_NOT_ENOUGH_MEMORY
    EXPECT_TRUE(CheckDevice(Target));
    EXPECT_EQ(Fake::Calls({Op::Command, Op::Pause}),
              (Strings{StatusLine(FaultyStatus), YellowBangLine, "Pause 200", YellowBangLine, DisablingLine,
                       "Pause 3000", EnablingLine}));

    // It never starts: each line is tried three times, and the check goes
    // on as it would without a trace.
    Fake::Reset();
    Fake::AddDevice(Fake::MultiSz({TargetId}), FaultyStatus);
    for (int nth = 0; nth < 12; ++nth) {
        Fake::FailNth(Op::Command, nth, 2);  // ERROR_FILE_NOT_FOUND
    }
    EXPECT_TRUE(CheckDevice(Target));
    EXPECT_EQ(Fake::Calls({Op::Command}).size(), 12u);
    const Strings retries(6, "Pause 200");  // two after each of the three lines before the disable
    Strings expected = {"GetDevNodeStatus 100"};
    expected.insert(expected.end(), retries.begin(), retries.end());
    expected.insert(expected.end(), {"DisableDevNode 100", "Pause 3000", "Pause 200", "Pause 200", "EnableDevNode 100"});
    EXPECT_EQ(NodeCalls(), expected);
}

TEST_F(CheckDeviceTest, NoTraceCommandRunsWithTracingOff)
{
    TraceEnabled = 0;
    const auto index = Fake::AddDevice(Fake::MultiSz({TargetId}), FaultyStatus);
    Fake::Platform().devices[index].enableResult = CR_FAILURE;
    EXPECT_FALSE(CheckDevice(Target));
    Fake::Platform().devices[index].statusResult = 0x0000000D;
    Fake::Platform().devices[index].disableResult = CR_FAILURE;
    EXPECT_FALSE(CheckDevice(Target));
    EXPECT_EQ(Traces(), Strings{});
    EXPECT_EQ(Fake::Calls({Op::Disable}).size(), 2u);
}

TEST_F(CheckDeviceTest, EmptyTargetTouchesNothing)
{
    Fake::AddDevice(Fake::MultiSz({TargetId}), FaultyStatus);
    EXPECT_FALSE(CheckDevice(""));
    EXPECT_EQ(Fake::AllCalls(), Strings{});
}

TEST_F(CheckDeviceTest, NoMatchEndsAtFirstMissingMemberWithoutTrace)
{
    Fake::AddDevice(Fake::MultiSz({OtherId}));
    Fake::AddDevice(Fake::MultiSz({u"USB\\VID_05E3&PID_0610&REV_694"}));
    Fake::AddDevice(Fake::MultiSz({u"usb\\vid_05e3&pid_0610&rev_6941"}));

    EXPECT_FALSE(CheckDevice(Target));
    EXPECT_EQ(Fake::Calls({Op::Enum}).back(), "EnumDeviceInfo 3");
    EXPECT_EQ(NodeCalls(), Strings{});
    EXPECT_EQ(Traces(), Strings{});
}

TEST_F(CheckDeviceTest, SnapshotFailurePrintsMessageWithoutLineEnd)
{
    Fake::FailNth(Op::Snapshot, 0, 5);
    Fake::FailNth(Op::Snapshot, 1, 0xE000020B);
    Fake::AddDevice(Fake::MultiSz({TargetId}), FaultyStatus);

    testing::internal::CaptureStdout();
    EXPECT_FALSE(CheckDevice(Target));
    EXPECT_FALSE(CheckDevice(Target));
    const std::string printed = testing::internal::GetCapturedStdout();
    EXPECT_EQ(printed, "SetupDiGetClassDevs() failed. Error code=5"
                       "SetupDiGetClassDevs() failed. Error code=-536870389");
    EXPECT_EQ(Fake::Calls({Op::Enum, Op::Status, Op::Destroy, Op::Command}), Strings{});
}

TEST_F(CheckDeviceTest, LongIdListIsReadAgainOnceAtReportedSize)
{
    std::u16string padding(400, u'X');
    const auto bytes = Fake::MultiSz({TargetId, padding});
    ASSERT_GT(bytes.size(), HardwareIdBufferBytes);
    Fake::AddDevice(bytes, FaultyStatus);

    EXPECT_TRUE(CheckDevice(Target));
    const std::string size = std::to_string(bytes.size());
    EXPECT_EQ(Fake::Calls({Op::ReadIds}), (Strings{"GetHardwareIdProperty 100 512", "GetHardwareIdProperty 100 " + size}));
    EXPECT_EQ(Fake::Calls({Op::Disable}), Strings{"DisableDevNode 100"});
}

TEST_F(CheckDeviceTest, SecondShortReadOrOtherErrorSkipsMember)
{
    const auto liar = Fake::AddDevice(Fake::MultiSz({TargetId, std::u16string(400, u'X')}), FaultyStatus);
    Fake::Platform().devices[liar].reportedSize = 600;  // still too small
    const auto missing = Fake::AddDevice(Fake::MultiSz({TargetId}), FaultyStatus);
    Fake::Platform().devices[missing].readError = 13;  // ERROR_INVALID_DATA
    Fake::AddDevice(Fake::MultiSz({TargetId}), FaultyStatus);

    EXPECT_TRUE(CheckDevice(Target));
    EXPECT_EQ(Fake::Calls({Op::ReadIds}), (Strings{"GetHardwareIdProperty 100 512", "GetHardwareIdProperty 100 600",
                                                   "GetHardwareIdProperty 101 512", "GetHardwareIdProperty 102 512"}));
    EXPECT_EQ(Fake::Calls({Op::Disable}), Strings{"DisableDevNode 102"});
}

TEST_F(CheckDeviceTest, UnterminatedIdIsScannedOnlyWithinItsBuffer)
{
    // 256 units with no terminator fill the first buffer exactly; a longer
    // run arrives through the re-read. Under the address sanitizer any read
    // past either allocation fails the test.
    Fake::AddDevice(Fake::RawUnits(std::u16string(256, u'U')));
    Fake::AddDevice(Fake::RawUnits(TargetId + std::u16string(301, u'Z')), FaultyStatus);

    EXPECT_TRUE(CheckDevice(Target));
    EXPECT_EQ(Fake::Calls({Op::Disable}), Strings{"DisableDevNode 101"});
}

TEST_F(CheckDeviceTest, EmptyOrBlankIdListsNeverMatch)
{
    Fake::AddDevice({});
    Fake::AddDevice(Fake::MultiSz({}));
    Fake::AddDevice(Fake::RawUnits(std::u16string_view(u"\0", 1)));
    EXPECT_FALSE(CheckDevice(Target));
    EXPECT_EQ(Fake::Calls({Op::ReadIds}).size(), 3u);
    EXPECT_EQ(NodeCalls(), Strings{});
}

TEST_F(CheckDeviceTest, FailedAllocationMeansNoMatch)
{
    Fake::AddDevice(Fake::MultiSz({TargetId}), FaultyStatus);
    Fake::AddDevice(Fake::MultiSz({TargetId, std::u16string(400, u'X')}), FaultyStatus);
    Fake::AddDevice(Fake::MultiSz({TargetId}), FaultyStatus);
    Fake::FailNth(Op::Alloc, 0, 8);  // first member's buffer
    Fake::FailNth(Op::Alloc, 2, 8);  // second member's re-read buffer

    EXPECT_TRUE(CheckDevice(Target));
    EXPECT_EQ(Fake::Calls({Op::ReadIds}), (Strings{"GetHardwareIdProperty 101 512", "GetHardwareIdProperty 102 512"}));
    EXPECT_EQ(Fake::Calls({Op::Disable}), Strings{"DisableDevNode 102"});
}

TEST_F(CheckDeviceTest, BufferLeavesRoomForTerminatorPastOddSizes)
{
    auto bytes = Fake::MultiSz({TargetId, std::u16string(300, u'X')});
    bytes.push_back('Q');  // odd length, as a malformed entry might report
    const auto index = Fake::AddDevice(bytes, FaultyStatus);
    (void)index;

    EXPECT_TRUE(CheckDevice(Target));
    const Strings allocs = Fake::Calls({Op::Alloc});
    ASSERT_EQ(allocs.size(), 2u);
    EXPECT_EQ(allocs[1], "AllocBuffer " + std::to_string(bytes.size() + 1 + 4));
}

}  // namespace
