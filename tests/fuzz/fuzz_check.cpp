// SPDX-FileCopyrightText: 2026 The Orvello authors
// SPDX-License-Identifier: MIT
// Fuzz target: CheckDevice against a fake platform scripted from the input.
//
// The input describes a target, the present devices (hardware-ID data, read
// errors, reported sizes, status results and words, disable and enable
// results and faults), injected failures of any seam operation, and a few
// checks with tracing on or off. The reference model of the check
// (fake/check_model.h) predicts every seam call, trace line, printed
// message, device state and result; each check must agree with it exactly
// and must also keep the invariants that hold whatever the script:
// snapshots and buffers balanced, no misuse of the seam, at most one disable
// and one enable, on one node, with the pause between them.
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

#include "fake/check_model.h"
#include "fake/fake_platform.h"
#include "recovery/recovery.h"

namespace {

using Fake::Op;
using Strings = std::vector<std::string>;

constexpr CONFIGRET CrNoSuchDevnode = 0x0000000D;
using CheckModel::Model;

// Reads the input front to back; past its end every read yields zero.
struct Reader {
    const std::uint8_t* data;
    std::size_t size;
    std::size_t pos;
};

std::uint8_t Byte(Reader& r)
{
    return r.pos < r.size ? r.data[r.pos++] : 0;
}

std::uint16_t U16(Reader& r)
{
    const unsigned low = Byte(r);
    return static_cast<std::uint16_t>(low | (static_cast<unsigned>(Byte(r)) << 8));
}

std::uint32_t U32(Reader& r)
{
    const std::uint32_t low = U16(r);
    return low | (static_cast<std::uint32_t>(U16(r)) << 16);
}

std::u16string Widen(const std::string& text)
{
    std::u16string wide;
    for (const char c : text) {
        wide.push_back(static_cast<char16_t>(static_cast<unsigned char>(c)));
    }
    return wide;
}

std::string Target(Reader& r)
{
    switch (Byte(r) % 4) {
    case 0:
        return "USB\\VID_05E3&PID_0610&REV_6941";
    case 1:
        return "USB\\VID_05E3&PID_0625&REV_0003";
    case 2: {
        std::string custom(Byte(r) % 40, '\0');
        for (char& c : custom) {
            c = static_cast<char>(Byte(r));
        }
        return custom;
    }
    default:
        return "";
    }
}

// One string of a hardware-ID list, mostly near misses of the target.
std::u16string IdPiece(Reader& r, const std::u16string& target)
{
    switch (Byte(r) % 10) {
    case 0:
        return target;
    case 1:
        return target + u"&MI_00";
    case 2:
        return target.substr(0, target.empty() ? 0 : target.size() - 1);
    case 3: {
        std::u16string lower = target;
        for (char16_t& c : lower) {
            c = c >= u'A' && c <= u'Z' ? static_cast<char16_t>(c + 32) : c;
        }
        return lower;
    }
    case 4:
        return u"USB\\VID_046D&PID_C52B&REV_1211";
    case 5:
        return u"";
    case 6:
        return target + u"\u00E9\u4E2D\U0001F600";
    case 7: {
        std::u16string replaced = target;
        if (!replaced.empty()) {
            replaced[Byte(r) % replaced.size()] = u'\u00E9';
        }
        return replaced;
    }
    case 8:
        return std::u16string(Byte(r) * 4u, u'X');
    default: {
        std::u16string units(Byte(r) % 16, u'\0');
        for (char16_t& c : units) {
            c = U16(r);
        }
        return units;
    }
    }
}

std::vector<BYTE> HardwareIds(Reader& r, const std::u16string& target)
{
    const std::uint8_t kind = Byte(r);
    switch (kind % 4) {
    case 0:
    case 1: {
        std::u16string joined;
        for (int n = 1 + Byte(r) % 3; n > 0; --n) {
            joined += IdPiece(r, target);
            joined.push_back(u'\0');
        }
        joined.push_back(u'\0');
        std::vector<BYTE> bytes = Fake::RawUnits(joined);
        // Some stored values lose their terminators, or end mid-unit.
        bytes.resize(bytes.size() - std::min<std::size_t>(bytes.size(), kind / 4 % 6));
        return bytes;
    }
    case 2: {
        std::vector<BYTE> bytes(U16(r) % 1400);
        for (BYTE& b : bytes) {
            b = Byte(r);
        }
        return bytes;
    }
    default:
        return {};
    }
}

std::optional<DWORD> ReportedSize(Reader& r, DWORD trueSize)
{
    switch (Byte(r) % 12) {
    case 6:
        return trueSize == 0 ? 0 : trueSize - 1;
    case 7:
        return trueSize + 1;
    case 8:
        return 0;
    case 9:
        return 600;
    case 10:
        return U16(r);
    case 11: {
        // Sizes no allocation can meet, and one just past the first buffer.
        constexpr DWORD limit = static_cast<DWORD>(Fake::MaxAllocBytes);
        const DWORD extremes[] = {0xFFFFFFFF, 0x80000000, limit - 3, HardwareIdBufferBytes + 1};
        return extremes[Byte(r) % 4];
    }
    default:
        return std::nullopt;
    }
}

DWORD ErrorValue(Reader& r)
{
    const DWORD values[] = {0, ERROR_INSUFFICIENT_BUFFER, 5, CR_FAILURE, 13, 0xE000020B};
    return values[Byte(r) % 6];
}

// Standard output goes to a memory file, so that the snapshot-failure
// message can be read back and checked.
std::string TakePrinted()
{
    std::fflush(stdout);
    std::string text;
    char chunk[256];
    ssize_t got = 0;
    off_t at = 0;
    while ((got = pread(STDOUT_FILENO, chunk, sizeof chunk, at)) > 0) {
        text.append(chunk, static_cast<std::size_t>(got));
        at += got;
    }
    if (ftruncate(STDOUT_FILENO, 0) != 0 || lseek(STDOUT_FILENO, 0, SEEK_SET) != 0) {
        std::abort();
    }
    return text;
}

void PrintCalls(const char* title, const Strings& calls)
{
    std::fprintf(stderr, "%s:\n", title);
    for (const std::string& call : calls) {
        std::fprintf(stderr, "  %s\n", call.c_str());
    }
}

void Require(bool holds, const char* what, int check, const Model& m, const Strings& actual)
{
    if (holds) {
        return;
    }
    std::fprintf(stderr, "check %d: %s\n", check, what);
    PrintCalls("expected calls", m.calls);
    PrintCalls("actual calls", actual);
    std::abort();
}

std::size_t Count(const Strings& calls, const std::string& prefix)
{
    std::size_t n = 0;
    for (const std::string& call : calls) {
        n += call.rfind(prefix, 0) == 0 ? 1 : 0;
    }
    return n;
}

std::size_t IndexOf(const Strings& calls, const std::string& prefix)
{
    for (std::size_t i = 0; i < calls.size(); ++i) {
        if (calls[i].rfind(prefix, 0) == 0) {
            return i;
        }
    }
    return calls.size();
}

// Invariants read from the recorded calls alone, whatever the model says.
void RequireInvariants(int check, const Model& m, const Strings& actual, bool trace)
{
    Require(Fake::Balanced(), "snapshots or buffers not released exactly once", check, m, actual);
    Require(Fake::Platform().violations.empty(), "misuse of the seam", check, m, actual);
    const std::size_t disables = Count(actual, "DisableDevNode ");
    const std::size_t enables = Count(actual, "EnableDevNode ");
    Require(disables <= 1 && enables <= 1, "more than one disable or enable", check, m, actual);
    Require(Count(actual, "GetDevNodeStatus ") <= 1, "status read more than once", check, m, actual);
    if (enables == 1) {
        const std::size_t disable = IndexOf(actual, "DisableDevNode ");
        const std::size_t pause = IndexOf(actual, "Pause 3000");
        Require(disable < pause && pause < IndexOf(actual, "EnableDevNode "), "enable without disable and pause first",
                check, m, actual);
    }
    // Node calls go to the member at which the walk stopped, and nowhere else.
    std::string node;
    for (const std::string& call : actual) {
        if (call.rfind("EnumDeviceInfo ", 0) == 0) {
            node = std::to_string(100 + std::stoul(call.substr(15)));
        }
        for (const char* op : {"GetDevNodeStatus ", "DisableDevNode ", "EnableDevNode "}) {
            if (call.rfind(op, 0) == 0) {
                Require(call.substr(call.find(' ') + 1) == node, "node call on a member other than the matched one",
                        check, m, actual);
            }
        }
    }
    if (!trace) {
        Require(Count(actual, "echo ") == 0, "trace line with tracing off", check, m, actual);
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* /*argc*/, char*** /*argv*/)
{
    const int memory = memfd_create("orvello-stdout", 0);
    if (memory < 0 || dup2(memory, STDOUT_FILENO) < 0) {
        std::abort();
    }
    close(memory);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    Reader r{data, size, 0};
    Fake::Reset();
    std::vector<Fake::Device>& devices = Fake::Platform().devices;

    const std::string target = Target(r);
    const std::u16string wideTarget = Widen(target);
    for (int n = Byte(r) % 8; n > 0; --n) {
        Fake::Device d;
        d.devInst = static_cast<DEVINST>(100 + devices.size());
        d.hardwareIds = HardwareIds(r, wideTarget);
        const std::uint8_t readError = Byte(r) % 8;
        d.readError = readError == 5 ? ERROR_INSUFFICIENT_BUFFER : readError == 6 ? 13 : readError == 7 ? 1168 : 0;
        d.reportedSize = ReportedSize(r, static_cast<DWORD>(d.hardwareIds.size()));
        const std::uint8_t statusResult = Byte(r) % 8;
        d.statusResult = statusResult == 6 ? CrNoSuchDevnode : statusResult == 7 ? CR_FAILURE : CR_SUCCESS;
        const std::uint8_t status = Byte(r) % 6;
        d.status = status < 2 ? Fake::HealthyStatus
                   : status < 4 ? Fake::HealthyStatus | DN_HAS_PROBLEM
                   : status == 4 ? 0
                                 : U32(r);
        const std::uint8_t node = Byte(r);
        d.disableResult = (node & 1u) != 0 ? CR_FAILURE : CR_SUCCESS;
        d.enableResult = (node & 2u) != 0 ? CrNoSuchDevnode : CR_SUCCESS;
        d.disableFault = (node & 4u) != 0 ? Fake::Fault::AccessViolation : Fake::Fault::None;
        d.enableFault = (node & 8u) != 0 ? Fake::Fault::Raise : Fake::Fault::None;
        d.cycleClearsProblem = (node & 16u) != 0;
        devices.push_back(d);
    }
    for (int n = Byte(r) % 5; n > 0; --n) {
        const Op op = static_cast<Op>(Byte(r) % 11);
        const int nth = Byte(r) % 8;
        Fake::FailNth(op, nth, ErrorValue(r));
    }
    Model m = CheckModel::FromFake();

    for (int check = 0, checks = 1 + Byte(r) % 3; check < checks; ++check) {
        const bool trace = (Byte(r) & 1u) != 0;
        Fake::Platform().calls.clear();
        m.calls.clear();
        m.printed.clear();

        TraceEnabled = trace ? 1 : 0;
        const bool actual = CheckDevice(target);
        TraceEnabled = 0;
        const std::string printed = TakePrinted();
        const Strings calls = Fake::AllCalls();

        RequireInvariants(check, m, calls, trace);
        const bool expected = CheckModel::Check(m, target, trace);
        Require(calls == m.calls, "calls differ from the rules", check, m, calls);
        Require(actual == expected, expected ? "false where the rules give true" : "true where the rules give false",
                check, m, calls);
        Require(printed == m.printed, "printed message differs", check, m, calls);
        for (std::size_t i = 0; i < m.devices.size(); ++i) {
            const Fake::Device& got = Fake::Platform().devices[i];
            Require(got.disabled == m.devices[i].disabled && got.status == m.devices[i].status,
                    "device left in another state", check, m, calls);
        }
    }
    return 0;
}
