// SPDX-FileCopyrightText: 2026 The Orvello authors
// SPDX-License-Identifier: MIT
#include "check_model.h"

#include <algorithm>
#include <cstdint>
#include <optional>

#include "recovery/recovery.h"

namespace CheckModel {
namespace {

using Fake::Op;

const std::string Log = "C:\\ProgramData\\Tamrisk.txt";

std::optional<DWORD> Injected(Model& m, Op op)
{
    const auto found = m.failures.find({op, m.counts[op]++});
    return found == m.failures.end() ? std::nullopt : std::optional<DWORD>(found->second);
}

std::string Timed(const char* text)
{
    return std::string("echo [%time%] ") + text + " >> " + Log;
}

// A zero-filled buffer of the size the rules give for a property of
// `bytes`, or nothing when the platform refuses it.
std::optional<std::vector<BYTE>> Alloc(Model& m, DWORD bytes)
{
    const std::size_t size = std::size_t{bytes} + (bytes % 2) + 4;
    m.calls.push_back("AllocBuffer " + std::to_string(size));
    if (Injected(m, Op::Alloc) || size > Fake::MaxAllocBytes) {
        return std::nullopt;
    }
    return std::vector<BYTE>(size, 0);
}

// The property read as the fake platform's contract describes it.
bool Read(Model& m, std::size_t index, std::vector<BYTE>& buffer, DWORD size, DWORD* required)
{
    const Fake::Device& d = m.devices[index];
    m.calls.push_back("GetHardwareIdProperty " + std::to_string(d.devInst) + " " + std::to_string(size));
    const std::optional<DWORD> injected = Injected(m, Op::ReadIds);
    const DWORD error = injected ? *injected : d.readError;
    const DWORD trueSize = static_cast<DWORD>(d.hardwareIds.size());
    if (error != 0 || size < trueSize) {
        m.lastError = error != 0 ? error : ERROR_INSUFFICIENT_BUFFER;
        if (m.lastError == ERROR_INSUFFICIENT_BUFFER) {
            *required = d.reportedSize.value_or(trueSize);
        }
        return false;
    }
    std::copy(d.hardwareIds.begin(), d.hardwareIds.end(), buffer.begin());
    *required = trueSize;
    return true;
}

// The matching rule over a filled buffer: the first ID, up to its 0 unit,
// begins with the target up to its first 0 byte; non-ASCII reads as '?', as
// the portable build's conversion gives it.
bool FirstIdBeginsWith(const std::vector<BYTE>& buffer, const std::string& target)
{
    for (std::size_t i = 0; i < target.size() && target[i] != '\0'; ++i) {
        const unsigned unit = 2 * i + 1 < buffer.size() ? static_cast<unsigned>(buffer[2 * i] | buffer[2 * i + 1] << 8) : 0u;
        if (unit == 0 || (unit < 0x80 ? static_cast<char>(unit) : '?') != target[i]) {
            return false;
        }
    }
    return true;
}

// Allocate, read, on a short buffer read once more at the asked size,
// match, free: a failed allocation or a failed read is no match.
bool MemberMatches(Model& m, std::size_t index, const std::string& target)
{
    DWORD required = HardwareIdBufferBytes;
    std::optional<std::vector<BYTE>> buffer = Alloc(m, HardwareIdBufferBytes);
    if (!buffer) {
        return false;
    }
    bool read = Read(m, index, *buffer, HardwareIdBufferBytes, &required);
    if (!read && m.lastError == ERROR_INSUFFICIENT_BUFFER) {
        m.calls.push_back("FreeBuffer");
        const DWORD size = required;
        buffer = Alloc(m, size);
        if (!buffer) {
            return false;
        }
        read = Read(m, index, *buffer, size, &required);
    }
    const bool matches = read && FirstIdBeginsWith(*buffer, target);
    m.calls.push_back("FreeBuffer");
    return matches;
}

// A fault inside the call is a failure, whether the platform raised it
// (guarded) or the fake could only return one.
CONFIGRET NodeCall(Model& m, Op op, Fake::Device& d)
{
    const bool enable = op == Op::Enable;
    m.calls.push_back((enable ? "EnableDevNode " : "DisableDevNode ") + std::to_string(d.devInst));
    if (const auto error = Injected(m, op)) {
        return *error;
    }
    if ((enable ? d.enableFault : d.disableFault) != Fake::Fault::None) {
        return CR_FAILURE;
    }
    const CONFIGRET result = enable ? d.enableResult : d.disableResult;
    if (result == CR_SUCCESS) {
        d.disabled = !enable;
        if (enable && d.cycleClearsProblem) {
            d.status &= ~DN_HAS_PROBLEM;
        }
    }
    return result;
}

}  // namespace

Model FromFake()
{
    Model m;
    m.devices = Fake::Platform().devices;
    m.failures = Fake::Platform().failures;
    return m;
}

bool Check(Model& m, const std::string& target, bool trace)
{
    // A line whose interpreter failed to start is run again, a pause apart.
    const auto traceLine = [&](const std::string& line) {
        for (int attempt = 0; trace && attempt <= TraceRetries; ++attempt) {
            m.calls.push_back(line);
            if (!Injected(m, Op::Command)) {
                break;
            }
            if (attempt < TraceRetries) {
                m.calls.push_back("Pause " + std::to_string(TraceRetryPauseMs));
                Injected(m, Op::Pause);
            }
        }
    };
    if (target.empty()) {
        return false;
    }
    m.calls.push_back("GetPresentDevices");
    if (const auto error = Injected(m, Op::Snapshot)) {
        m.printed += "SetupDiGetClassDevs() failed. Error code=" + std::to_string(static_cast<std::int32_t>(*error));
        return false;
    }
    std::optional<std::size_t> matched;
    for (std::size_t index = 0; !matched; ++index) {
        m.calls.push_back("EnumDeviceInfo " + std::to_string(index));
        if (Injected(m, Op::Enum) || index >= m.devices.size()) {
            break;
        }
        if (MemberMatches(m, index, target)) {
            matched = index;
        }
    }
    bool result = false;
    if (matched) {
        Fake::Device& d = m.devices[*matched];
        m.calls.push_back("GetDevNodeStatus " + std::to_string(d.devInst));
        ULONG status = 0;  // stays 0 when a scripted success writes nothing
        CONFIGRET read = CR_SUCCESS;
        if (const auto error = Injected(m, Op::Status)) {
            read = *error;
        } else if (d.statusResult != CR_SUCCESS) {
            read = d.statusResult;
        } else {
            status = d.status | (d.disabled ? DN_HAS_PROBLEM : 0);
        }
        bool cycle = true;
        if (read != CR_SUCCESS) {
            traceLine(Timed(" disable device"));
        } else {
            traceLine("echo " + std::to_string(status) + ">> " + Log);
            cycle = (status & DN_HAS_PROBLEM) != 0;
            traceLine(Timed(cycle ? "Yellow bang" : "No Yellow bang"));
            result = !cycle;
        }
        if (cycle) {
            traceLine(Timed("disable Device"));
            if (NodeCall(m, Op::Disable, d) != CR_SUCCESS) {
                traceLine(Timed("disable Device fail"));
            } else {
                m.calls.push_back("Pause 3000");
                Injected(m, Op::Pause);
                traceLine(Timed("enable Device"));
                result = NodeCall(m, Op::Enable, d) == CR_SUCCESS;
                if (!result) {
                    traceLine(Timed("enable Device fail"));
                }
            }
        }
    }
    m.calls.push_back("DestroyDeviceInfoList");
    return result;
}

std::vector<std::string> Only(const std::vector<std::string>& calls, std::initializer_list<const char*> prefixes)
{
    std::vector<std::string> kept;
    for (const std::string& call : calls) {
        if (std::any_of(prefixes.begin(), prefixes.end(),
                        [&](const char* prefix) { return call.rfind(prefix, 0) == 0; })) {
            kept.push_back(call);
        }
    }
    return kept;
}

}  // namespace CheckModel
