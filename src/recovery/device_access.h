// SPDX-FileCopyrightText: 2026 The Orvello authors
// SPDX-License-Identifier: MIT
// The device-access seam: every platform operation the recovery logic
// performs, as free functions. The executable links the Windows
// implementation (device_access_win.cpp); the tests link a scriptable fake
// that defines the same symbols.
#pragma once

#include <cstddef>

#include "platform_types.h"

namespace DeviceAccess {

// Snapshot of all present devices of every setup class;
// INVALID_HANDLE_VALUE on failure, with the reason in LastError().
HDEVINFO GetPresentDevices() noexcept;

// Fills `device` for member `index`; false when there is no such member.
[[nodiscard]] bool EnumDeviceInfo(HDEVINFO devices, DWORD index, SP_DEVINFO_DATA* device) noexcept;

// Copies the member's hardware-ID multi-string into `buffer`. On false,
// LastError() tells why and, for ERROR_INSUFFICIENT_BUFFER, `requiredSize`
// holds the byte count needed.
[[nodiscard]] bool GetHardwareIdProperty(HDEVINFO devices, SP_DEVINFO_DATA* device, BYTE* buffer,
                                         DWORD bufferSize, DWORD* requiredSize) noexcept;

[[nodiscard]] CONFIGRET GetDevNodeStatus(ULONG* status, ULONG* problem, DEVINST node) noexcept;

// Disable and enable with flags 0. A structured exception raised inside the
// platform call is caught and reported as CR_FAILURE.
[[nodiscard]] CONFIGRET DisableDevNode(DEVINST node) noexcept;
[[nodiscard]] CONFIGRET EnableDevNode(DEVINST node) noexcept;

void DestroyDeviceInfoList(HDEVINFO devices) noexcept;

// Zero-filled property buffer (LocalAlloc(LPTR)); null when it cannot be had.
[[nodiscard]] void* AllocBuffer(std::size_t bytes) noexcept;
void FreeBuffer(void* buffer) noexcept;

void Pause(DWORD milliseconds) noexcept;
[[nodiscard]] DWORD LastError() noexcept;

// Hands a command line to the command interpreter and waits for it. False
// when the interpreter could not be started or ended without running the
// line, so that nothing of it was written; true when it ran the line,
// whatever the line's own result.
[[nodiscard]] bool RunCommandLine(const char* commandLine) noexcept;

}  // namespace DeviceAccess
