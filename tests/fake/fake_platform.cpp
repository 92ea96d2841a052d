// SPDX-FileCopyrightText: 2026 The Orvello authors
// SPDX-License-Identifier: MIT
// Link-time replacement of the Windows device-access implementation.
#include "fake_platform.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "recovery/device_access.h"

#ifdef _WIN32
#include "recovery/seh_guard_win.h"
#endif

namespace Fake {
namespace {

constexpr DWORD ErrorNoMoreItems = 259;
constexpr DWORD ErrorInvalidParameter = 87;

State& TheState()
{
    static State state;
    return state;
}

// Formats lazily: benchmarks switch recording off and pay nothing for it.
void Record(Op op, const char* name, std::initializer_list<unsigned long long> args = {})
{
    if (!TheState().recordCalls) {
        return;
    }
    std::string text = name;
    for (const unsigned long long arg : args) {
        text += ' ';
        text += std::to_string(arg);
    }
    TheState().calls.push_back(Call{op, std::move(text)});
}

// The scripted error of this call of `op`, if any; counts the call.
std::optional<DWORD> Injected(Op op)
{
    State& s = TheState();
    const int nth = s.counts[op]++;
    const auto found = s.failures.find({op, nth});
    if (found == s.failures.end()) {
        return std::nullopt;
    }
    return found->second;
}

void Violation(std::string what)
{
    TheState().violations.push_back(std::move(what));
}

Device* DeviceOf(DEVINST node)
{
    // AddDevice numbers nodes 100 + index, so look there first: a scan per
    // call would make a walk over n devices cost n squared. Lists edited by
    // hand still get the scan.
    std::vector<Device>& devices = TheState().devices;
    if (node >= 100 && node - 100 < devices.size() && devices[node - 100].devInst == node) {
        return &devices[node - 100];
    }
    for (Device& device : devices) {
        if (device.devInst == node) {
            return &device;
        }
    }
    Violation("unknown DevInst " + std::to_string(node));
    return nullptr;
}

bool LiveSnapshot(HDEVINFO devices, const char* caller)
{
    if (TheState().liveSnapshots.count(devices) == 0) {
        Violation(std::string(caller) + " on a snapshot that is not open");
        return false;
    }
    return true;
}

// The scripted disable and enable, shaped like the platform calls so that on
// Windows they run inside the program's real exception guard.
void RaiseFault(Fault fault)
{
#ifdef _WIN32
    if (fault == Fault::AccessViolation) {
        volatile int* volatile nowhere = nullptr;
        *nowhere = 1;
    }
    if (fault == Fault::Raise) {
        RaiseException(0xE0FA0001, 0, 0, nullptr);
    }
#else
    (void)fault;
#endif
}

// Disable (op Disable) or enable (op Enable) one node as scripted.
CONFIGRET ScriptedNodeCall(Op op, DEVINST node)
{
    Device* device = DeviceOf(node);
    if (const auto error = Injected(op)) {
        return *error;
    }
    if (device == nullptr) {
        return CR_FAILURE;
    }
    const bool enable = op == Op::Enable;
    const Fault fault = enable ? device->enableFault : device->disableFault;
    RaiseFault(fault);
    if (fault != Fault::None) {
        return CR_FAILURE;  // no exception mechanism here
    }
    const CONFIGRET result = enable ? device->enableResult : device->disableResult;
    if (result == CR_SUCCESS) {
        device->disabled = !enable;
        if (enable && device->cycleClearsProblem) {
            device->status &= ~DN_HAS_PROBLEM;
        }
    }
    return result;
}

CONFIGRET WINAPI DisableCall(DEVINST node, ULONG /*flags*/)
{
    return ScriptedNodeCall(Op::Disable, node);
}

CONFIGRET WINAPI EnableCall(DEVINST node, ULONG /*flags*/)
{
    return ScriptedNodeCall(Op::Enable, node);
}

CONFIGRET CallNode(CONFIGRET(WINAPI* call)(DEVINST, ULONG), DEVINST node)
{
#ifdef _WIN32
    return CallDevNodeOrFail(call, node);
#else
    return call(node, 0);
#endif
}

}  // namespace

State& Platform()
{
    return TheState();
}

void Reset()
{
    for (auto& [buffer, size] : TheState().liveBuffers) {
        std::free(buffer);
    }
    TheState() = State{};
}

std::vector<BYTE> RawUnits(std::u16string_view units)
{
    const auto* first = reinterpret_cast<const BYTE*>(units.data());
    return std::vector<BYTE>(first, first + units.size() * sizeof(char16_t));
}

std::vector<BYTE> MultiSz(std::initializer_list<std::u16string_view> ids)
{
    std::u16string joined;
    for (std::u16string_view id : ids) {
        joined.append(id);
        joined.push_back(u'\0');
    }
    joined.push_back(u'\0');
    return RawUnits(joined);
}

std::size_t AddDevice(std::vector<BYTE> hardwareIds, ULONG status)
{
    State& s = TheState();
    Device device;
    device.hardwareIds = std::move(hardwareIds);
    device.devInst = static_cast<DEVINST>(100 + s.devices.size());
    device.status = status;
    s.devices.push_back(std::move(device));
    return s.devices.size() - 1;
}

void FailNth(Op op, int nth, DWORD error)
{
    TheState().failures[{op, nth}] = error;
}

std::vector<std::string> Calls(std::initializer_list<Op> ops)
{
    std::vector<std::string> texts;
    for (const Call& call : TheState().calls) {
        if (std::find(ops.begin(), ops.end(), call.op) != ops.end()) {
            texts.push_back(call.text);
        }
    }
    return texts;
}

std::vector<std::string> AllCalls()
{
    std::vector<std::string> texts;
    for (const Call& call : TheState().calls) {
        texts.push_back(call.text);
    }
    return texts;
}

bool Balanced()
{
    const State& s = TheState();
    return s.snapshotsTaken == s.snapshotsReleased && s.buffersAllocated == s.buffersFreed &&
           s.liveBuffers.empty() && s.liveSnapshots.empty();
}

}  // namespace Fake

using Fake::Op;

namespace DeviceAccess {

HDEVINFO GetPresentDevices() noexcept
{
    Fake::State& s = Fake::Platform();
    Fake::Record(Op::Snapshot, "GetPresentDevices");
    if (const auto error = Fake::Injected(Op::Snapshot)) {
        s.lastError = *error;
        return INVALID_HANDLE_VALUE;
    }
    HDEVINFO devices = reinterpret_cast<HDEVINFO>(static_cast<std::uintptr_t>(0x1000 + s.nextSnapshot++));
    s.liveSnapshots.insert(devices);
    ++s.snapshotsTaken;
    return devices;
}

bool EnumDeviceInfo(HDEVINFO devices, DWORD index, SP_DEVINFO_DATA* device) noexcept
{
    Fake::State& s = Fake::Platform();
    Fake::Record(Op::Enum, "EnumDeviceInfo", {index});
    if (!Fake::LiveSnapshot(devices, "EnumDeviceInfo")) {
        return false;
    }
    if (device == nullptr || device->cbSize != sizeof(SP_DEVINFO_DATA)) {
        Fake::Violation("EnumDeviceInfo with a record whose size is not set");
        return false;
    }
    if (const auto error = Fake::Injected(Op::Enum)) {
        s.lastError = *error;
        return false;
    }
    if (index >= s.devices.size()) {
        s.lastError = Fake::ErrorNoMoreItems;
        return false;
    }
    device->DevInst = s.devices[index].devInst;
    return true;
}

bool GetHardwareIdProperty(HDEVINFO devices, SP_DEVINFO_DATA* device, BYTE* buffer, DWORD bufferSize,
                           DWORD* requiredSize) noexcept
{
    Fake::State& s = Fake::Platform();
    Fake::Record(Op::ReadIds, "GetHardwareIdProperty", {device ? device->DevInst : 0u, bufferSize});
    if (!Fake::LiveSnapshot(devices, "GetHardwareIdProperty") || device == nullptr) {
        return false;
    }
    if (buffer == nullptr && bufferSize != 0) {
        Fake::Violation("GetHardwareIdProperty with no buffer but a size");
        s.lastError = Fake::ErrorInvalidParameter;
        return false;
    }
    if (buffer != nullptr) {
        const auto live = s.liveBuffers.find(buffer);
        if (live == s.liveBuffers.end() || live->second < bufferSize) {
            Fake::Violation("GetHardwareIdProperty told a size larger than its buffer");
            return false;
        }
    }
    Fake::Device* member = Fake::DeviceOf(device->DevInst);
    if (member == nullptr) {
        return false;
    }
    const std::optional<DWORD> injected = Fake::Injected(Op::ReadIds);
    const DWORD error = injected ? *injected : member->readError;
    const DWORD trueSize = static_cast<DWORD>(member->hardwareIds.size());
    const DWORD reported = member->reportedSize.value_or(trueSize);
    if (error != 0) {
        if (requiredSize != nullptr && error == ERROR_INSUFFICIENT_BUFFER) {
            *requiredSize = reported;
        }
        s.lastError = error;
        return false;
    }
    if (bufferSize < trueSize) {
        if (requiredSize != nullptr) {
            *requiredSize = reported;
        }
        s.lastError = ERROR_INSUFFICIENT_BUFFER;
        return false;
    }
    // An empty value has no storage to copy from.
    std::copy(member->hardwareIds.begin(), member->hardwareIds.end(), buffer);
    if (requiredSize != nullptr) {
        *requiredSize = trueSize;
    }
    return true;
}

CONFIGRET GetDevNodeStatus(ULONG* status, ULONG* problem, DEVINST node) noexcept
{
    Fake::Record(Op::Status, "GetDevNodeStatus", {node});
    Fake::Device* device = Fake::DeviceOf(node);
    if (const auto error = Fake::Injected(Op::Status)) {
        return *error;
    }
    if (device == nullptr) {
        return CR_FAILURE;
    }
    if (device->statusResult != CR_SUCCESS) {
        return device->statusResult;
    }
    *status = device->status | (device->disabled ? DN_HAS_PROBLEM : 0);
    *problem = device->disabled ? Fake::ProblemDisabled : 0;
    return CR_SUCCESS;
}

CONFIGRET DisableDevNode(DEVINST node) noexcept
{
    Fake::Record(Op::Disable, "DisableDevNode", {node});
    return Fake::CallNode(Fake::DisableCall, node);
}

CONFIGRET EnableDevNode(DEVINST node) noexcept
{
    Fake::Record(Op::Enable, "EnableDevNode", {node});
    return Fake::CallNode(Fake::EnableCall, node);
}

void DestroyDeviceInfoList(HDEVINFO devices) noexcept
{
    Fake::State& s = Fake::Platform();
    Fake::Record(Op::Destroy, "DestroyDeviceInfoList");
    if (Fake::LiveSnapshot(devices, "DestroyDeviceInfoList")) {
        s.liveSnapshots.erase(devices);
        ++s.snapshotsReleased;
    }
}

void* AllocBuffer(std::size_t bytes) noexcept
{
    Fake::State& s = Fake::Platform();
    Fake::Record(Op::Alloc, "AllocBuffer", {bytes});
    if (Fake::Injected(Op::Alloc) || bytes > Fake::MaxAllocBytes) {
        return nullptr;
    }
    void* buffer = std::calloc(bytes == 0 ? 1 : bytes, 1);
    if (buffer == nullptr) {
        return nullptr;
    }
    s.liveBuffers[buffer] = bytes;
    ++s.buffersAllocated;
    return buffer;
}

void FreeBuffer(void* buffer) noexcept
{
    Fake::State& s = Fake::Platform();
    Fake::Record(Op::Free, "FreeBuffer");
    if (buffer == nullptr) {
        return;
    }
    if (s.liveBuffers.erase(buffer) == 0) {
        Fake::Violation("FreeBuffer of a buffer that is not live");
        return;
    }
    std::free(buffer);
    ++s.buffersFreed;
}

void Pause(DWORD milliseconds) noexcept
{
    Fake::Record(Op::Pause, "Pause", {milliseconds});
    Fake::Injected(Op::Pause);
}

DWORD LastError() noexcept
{
    return Fake::Platform().lastError;
}

// An injected failure is an interpreter that could not be started: the
// line is not run.
bool RunCommandLine(const char* commandLine) noexcept
{
    Fake::Record(Op::Command, commandLine);
    if (Fake::Injected(Op::Command)) {
        return false;
    }
    if (Fake::Platform().runCommands) {
        (void)std::system(commandLine);
    }
    return true;
}

}  // namespace DeviceAccess
