// SPDX-FileCopyrightText: 2026 The Orvello authors
// SPDX-License-Identifier: MIT
// Every operation a check performs, made to fail at every position it is
// reached, with the error values that change the outcome. Each case is
// checked against the reference model of the walk (fake/check_model.h).
#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "fake/check_model.h"
#include "fake/fake_platform.h"
#include "recovery/recovery.h"

namespace {

using Fake::Fault;
using Fake::Op;
using Strings = std::vector<std::string>;

const std::string Target = "USB\\VID_05E3&PID_0625&REV_2000";
const ULONG FaultyStatus = Fake::HealthyStatus | DN_HAS_PROBLEM;
constexpr DWORD ErrorInvalidData = 13;
constexpr DWORD ErrorFileNotFound = 2;
constexpr DWORD ErrorNoMoreItems = 259;
constexpr CONFIGRET CrNoSuchDevnode = 0x0D;
constexpr CONFIGRET CrNotDisableable = 0x21;

struct Member {
    bool target;
    bool longList;  // over 512 bytes: read twice
};

struct Layout {
    const char* name;
    std::vector<Member> members;
};

const Layout MatchLast{"MatchLast", {{false, false}, {false, true}, {true, true}}};
const Layout MatchMiddle{"MatchMiddle", {{false, true}, {true, false}, {false, false}, {true, true}}};

struct Case {
    std::string name;
    const Layout* layout;
    Op op;
    int member = -1;  // member whose operation fails
    int read = 0;     // 0: first read or buffer, 1: the re-read
    DWORD error = 0;
    std::optional<DWORD> required;  // size reported with ERROR_INSUFFICIENT_BUFFER
    Fault fault = Fault::None;
};

std::vector<BYTE> IdsOf(const Member& member, std::size_t index)
{
    const std::u16string first = member.target ? u"USB\\VID_05E3&PID_0625&REV_2000"
                                               : u"USB\\VID_05E3&PID_0625&REV_200" + std::u16string(1, u"ABCD"[index]);
    return member.longList ? Fake::MultiSz({first, std::u16string(300, u'L')}) : Fake::MultiSz({first});
}

DWORD TrueSize(const Member& member)
{
    return static_cast<DWORD>(IdsOf(member, 0).size());
}

int ReadsOf(const Member& member)
{
    return member.longList ? 2 : 1;
}

std::string Where(const Layout& layout, int member)
{
    const int last = static_cast<int>(layout.members.size()) - 1;
    std::string where = member == 0 ? "First" : member == last ? "Last" : "Middle";
    return layout.members[static_cast<std::size_t>(member)].target ? where + "Target" : where;
}

// The nth call of a per-member operation that belongs to `member`'s read.
int NthCall(const Case& c)
{
    int nth = 0;
    for (int i = 0; i < c.member; ++i) {
        nth += ReadsOf(c.layout->members[static_cast<std::size_t>(i)]);
    }
    return nth + c.read;
}

void Script(const Case& c)
{
    Fake::Reset();
    for (std::size_t i = 0; i < c.layout->members.size(); ++i) {
        Fake::AddDevice(IdsOf(c.layout->members[i], i), FaultyStatus);
    }
    std::vector<Fake::Device>& devices = Fake::Platform().devices;
    switch (c.op) {
    case Op::Snapshot:
        Fake::FailNth(Op::Snapshot, 0, c.error);
        break;
    case Op::Enum:
        Fake::FailNth(Op::Enum, c.member, c.error);
        break;
    case Op::ReadIds:
        Fake::FailNth(Op::ReadIds, NthCall(c), c.error);
        devices[static_cast<std::size_t>(c.member)].reportedSize = c.required;
        break;
    case Op::Alloc:
        Fake::FailNth(Op::Alloc, NthCall(c), c.error);
        break;
    default:
        // Node operations fail on whichever node is matched.
        for (Fake::Device& device : devices) {
            if (c.op == Op::Status) {
                device.statusResult = c.error;
            } else if (c.op == Op::Disable) {
                device.disableResult = c.error;
                device.disableFault = c.fault;
            } else if (c.op == Op::Enable) {
                device.enableResult = c.error;
                device.enableFault = c.fault;
            }
        }
        break;
    }
}

Case Make(std::string name, const Layout* layout, Op op, int member, int read, DWORD error,
          std::optional<DWORD> required = {}, Fault fault = Fault::None)
{
    return Case{std::move(name), layout, op, member, read, error, required, fault};
}

// Names the case in test output instead of dumping its bytes.
void PrintTo(const Case& c, std::ostream* out)
{
    *out << c.name;
}

std::vector<Case> AllCases()
{
    std::vector<Case> cases;
    for (const DWORD error : {5u, 8u, 0xE000020Bu}) {
        cases.push_back(Make("Snapshot_Error" + std::to_string(error), &MatchLast, Op::Snapshot, -1, 0, error));
    }
    for (const Layout* layout : {&MatchLast, &MatchMiddle}) {
        const std::string prefix = std::string(layout->name) + "_";
        const int count = static_cast<int>(layout->members.size());
        for (int m = 0; m < count; ++m) {
            const Member& member = layout->members[static_cast<std::size_t>(m)];
            const std::string where = Where(*layout, m);
            const DWORD size = TrueSize(member);
            for (const DWORD error : {ErrorNoMoreItems, ErrorInvalidData}) {
                cases.push_back(Make(prefix + "Enum_" + where + "_Error" + std::to_string(error), layout, Op::Enum, m, 0,
                                 error));
            }
            for (int read = 0; read < ReadsOf(member); ++read) {
                const std::string which = read == 0 ? "FirstRead" : "ReRead";
                for (const DWORD error : {ErrorInvalidData, ErrorFileNotFound}) {
                    cases.push_back(Make(prefix + which + "_" + where + "_Error" + std::to_string(error), layout,
                                     Op::ReadIds, m, read, error));
                }
                const std::pair<const char*, DWORD> sizes[] = {
                    {"Larger", size + 64}, {"Equal", size}, {"Smaller", size - 2}, {"Zero", 0}};
                for (const auto& [label, required] : sizes) {
                    cases.push_back(Make(prefix + which + "_" + where + "_ShortBuffer" + label, layout, Op::ReadIds, m,
                                     read, ERROR_INSUFFICIENT_BUFFER, required));
                }
                cases.push_back(Make(prefix + "Alloc" + (read == 0 ? "" : "ForReRead") + "_" + where, layout, Op::Alloc,
                                 m, read, 8));
            }
        }
        for (const CONFIGRET error : {CrNoSuchDevnode, CONFIGRET{CR_FAILURE}}) {
            cases.push_back(Make(prefix + "Status_Error" + std::to_string(error), layout, Op::Status, -1, 0, error));
        }
        for (const Op op : {Op::Disable, Op::Enable}) {
            const std::string name = prefix + (op == Op::Disable ? "Disable" : "Enable");
            for (const CONFIGRET error : {CONFIGRET{CR_FAILURE}, CrNotDisableable}) {
                cases.push_back(Make(name + "_Error" + std::to_string(error), layout, op, -1, 0, error));
            }
#ifdef _WIN32
            // Faults raised inside the call, caught by the program's real
            // guard. Natively the fake can only return a failure for them,
            // which the error cases above already are.
            cases.push_back(Make(name + "_AccessViolation", layout, op, -1, 0, CR_SUCCESS, std::nullopt, Fault::AccessViolation));
            cases.push_back(Make(name + "_RaisedException", layout, op, -1, 0, CR_SUCCESS, std::nullopt, Fault::Raise));
#endif
        }
    }
    return cases;
}

class FaultMatrix : public testing::TestWithParam<Case> {
protected:
    void SetUp() override { TraceEnabled = 1; }
    void TearDown() override { TraceEnabled = 0; }
};

TEST_P(FaultMatrix, OutcomeCallsAndBalance)
{
    const Case& c = GetParam();
    Script(c);
    CheckModel::Model model = CheckModel::FromFake();
    const bool expected = CheckModel::Check(model, Target, true);

    testing::internal::CaptureStdout();
    const bool result = CheckDevice(Target);
    const std::string printed = testing::internal::GetCapturedStdout();

    EXPECT_EQ(result, expected);
    EXPECT_EQ(printed, model.printed);
    EXPECT_EQ(Fake::Calls({Op::Enum}), CheckModel::Only(model.calls, {"EnumDeviceInfo "}));
    EXPECT_EQ(Fake::Calls({Op::Status, Op::Disable, Op::Pause, Op::Enable}),
              CheckModel::Only(model.calls, {"GetDevNodeStatus ", "DisableDevNode ", "Pause ", "EnableDevNode "}));
    EXPECT_EQ(Fake::Calls({Op::Command}), CheckModel::Only(model.calls, {"echo "}));
    EXPECT_TRUE(Fake::Balanced());
    EXPECT_EQ(Fake::Platform().violations, Strings{});
    // A snapshot that was taken is released last, after any cycle.
    if (c.op != Op::Snapshot) {
        EXPECT_EQ(Fake::AllCalls().back(), "DestroyDeviceInfoList");
    }
}

INSTANTIATE_TEST_SUITE_P(EveryOperation, FaultMatrix, testing::ValuesIn(AllCases()),
                         [](const testing::TestParamInfo<Case>& param) { return param.param.name; });

}  // namespace
