// SPDX-FileCopyrightText: 2026 The Orvello authors
// SPDX-License-Identifier: MIT
// Device check and cycle.
#include <cstdio>
#include <memory>
#include <string>

#include "device_access.h"
#include "recovery.h"

namespace {

struct SnapshotCloser {
    void operator()(void* devices) const noexcept { DeviceAccess::DestroyDeviceInfoList(devices); }
};
using UniqueSnapshot = std::unique_ptr<void, SnapshotCloser>;

struct BufferFreer {
    void operator()(void* buffer) const noexcept { DeviceAccess::FreeBuffer(buffer); }
};
using UniqueBuffer = std::unique_ptr<void, BufferFreer>;

// Room for `bytes` of property data, rounded up to whole UTF-16 units, plus
// an empty terminating pair of units that the platform never writes: the ID
// scan then stops inside the buffer even when a device's stored value lacks
// its own terminators.
UniqueBuffer AllocHardwareIdBuffer(DWORD bytes)
{
    const std::size_t evenBytes = static_cast<std::size_t>(bytes) + (bytes & 1u);
    return UniqueBuffer(DeviceAccess::AllocBuffer(evenBytes + 2 * sizeof(WCHAR)));
}

bool ReadHardwareIds(HDEVINFO devices, SP_DEVINFO_DATA* device, const UniqueBuffer& buffer, DWORD size,
                     DWORD* requiredSize)
{
    return DeviceAccess::GetHardwareIdProperty(devices, device, static_cast<BYTE*>(buffer.get()), size, requiredSize);
}

// Whether the member's first hardware ID matches `target`. The property
// buffer lives only for this call.
bool MemberMatches(HDEVINFO devices, SP_DEVINFO_DATA* device, const std::string& target)
{
    DWORD requiredSize = HardwareIdBufferBytes;
    UniqueBuffer buffer = AllocHardwareIdBuffer(HardwareIdBufferBytes);
    if (!buffer) {
        return false;
    }
    if (!ReadHardwareIds(devices, device, buffer, HardwareIdBufferBytes, &requiredSize)) {
        if (DeviceAccess::LastError() != ERROR_INSUFFICIENT_BUFFER) {
            return false;
        }
        // One re-read at the size the platform asked for.
        const DWORD size = requiredSize;
        buffer.reset();
        buffer = AllocHardwareIdBuffer(size);
        if (!buffer || !ReadHardwareIds(devices, device, buffer, size, &requiredSize)) {
            return false;
        }
    }
    return MatchHardwareId(static_cast<const WCHAR*>(buffer.get()), target);
}

// Trace lines are built only when they will run: with tracing off, a check
// allocates nothing for them.
void TraceTimed(const char* text)
{
    if (TraceEnabled != 0) {
        RunTraceCommand(std::string("echo [%time%] ") + text + " >> " + TraceLogPath);
    }
}

// The status word carries no time stamp, and ">>" follows it directly.
void TraceStatus(ULONG status)
{
    if (TraceEnabled != 0) {
        RunTraceCommand("echo " + std::to_string(status) + ">> " + TraceLogPath);
    }
}

// Disable, pause, enable. A failed disable is not followed by an enable.
bool CycleDevice(const SP_DEVINFO_DATA& device)
{
    TraceTimed("disable Device");
    if (!SetDeviceEnabled(device, false)) {
        TraceTimed("disable Device fail");
        return false;
    }
    DeviceAccess::Pause(CyclePauseMs);
    TraceTimed("enable Device");
    if (!SetDeviceEnabled(device, true)) {
        TraceTimed("enable Device fail");
        return false;
    }
    return true;
}

// Reads the matched node's status once; cycles it when it reports a problem
// or when its status cannot be read.
bool RecoverDevice(const SP_DEVINFO_DATA& device)
{
    ULONG status = 0;
    ULONG problem = 0;
    if (DeviceAccess::GetDevNodeStatus(&status, &problem, device.DevInst) != CR_SUCCESS) {
        // The log's established wording for this event: two spaces, lower case.
        TraceTimed(" disable device");
        return CycleDevice(device);
    }
    TraceStatus(status);
    if ((status & DN_HAS_PROBLEM) == 0) {
        TraceTimed("No Yellow bang");
        return true;
    }
    TraceTimed("Yellow bang");
    return CycleDevice(device);
}

}  // namespace

bool SetDeviceEnabled(SP_DEVINFO_DATA device, bool enable)
{
    const CONFIGRET result =
        enable ? DeviceAccess::EnableDevNode(device.DevInst) : DeviceAccess::DisableDevNode(device.DevInst);
    return result == CR_SUCCESS;
}

void RunTraceCommand(const std::string& commandLine)
{
    if (TraceEnabled == 0) {
        return;
    }
    for (int retry = 0; !DeviceAccess::RunCommandLine(commandLine.c_str()) && retry < TraceRetries; ++retry) {
        DeviceAccess::Pause(TraceRetryPauseMs);
    }
}

bool CheckDevice(std::string target)
{
    if (target.empty()) {
        return false;
    }
    HDEVINFO devices = DeviceAccess::GetPresentDevices();
    if (devices == INVALID_HANDLE_VALUE) {
        const DWORD error = DeviceAccess::LastError();
        // Signed, as the platform's HRESULT-style codes are usually read.
        const std::string message =
            "SetupDiGetClassDevs() failed. Error code=" + std::to_string(static_cast<int>(error));
        std::fputs(message.c_str(), stdout);
        std::fflush(stdout);
        return false;
    }
    const UniqueSnapshot snapshot(devices);

    SP_DEVINFO_DATA device{};
    device.cbSize = sizeof device;
    // Only the first matching member, in snapshot order, is handled.
    for (DWORD index = 0;; ++index) {
        if (!DeviceAccess::EnumDeviceInfo(devices, index, &device)) {
            return false;
        }
        if (MemberMatches(devices, &device, target)) {
            break;
        }
    }
    return RecoverDevice(device);
}
