// SPDX-FileCopyrightText: 2026 The Orvello authors
// SPDX-License-Identifier: MIT
// Device recovery: find a device by hardware ID, read its device-node
// status, and cycle it (disable, pause, enable) when it reports a problem.
#pragma once

#include <cstddef>
#include <string>

#include "platform_types.h"

// Process-wide trace switch: 0 at start and never changed by the program.
// A build configured with ORVELLO_TRACE starts with it on.
extern int TraceEnabled;

inline constexpr char TraceLogPath[] = "C:\\ProgramData\\Tamrisk.txt";

inline constexpr DWORD CyclePauseMs = 3000;
// A trace line the interpreter never ran (it could not be started, as can
// happen for a moment at boot) is tried again this many times, this far
// apart. A line that ran is never run again.
inline constexpr int TraceRetries = 2;
inline constexpr DWORD TraceRetryPauseMs = 200;
inline constexpr DWORD HardwareIdBufferBytes = 512;
// Hardware IDs whose length in UTF-16 units plus one exceeds this are not
// converted: no real ID is anywhere near it.
inline constexpr std::size_t MaxHardwareIdUnits = 0x3FFFFFFF;

// True when the first hardware ID of the multi-string `hardwareIds` begins
// with `target` (exact, case-sensitive). A null buffer never matches.
[[nodiscard]] bool MatchHardwareId(const WCHAR* hardwareIds, std::string target);

// Finds the first present device whose first hardware ID matches `target`
// and cycles it when its node reports a problem or its status is unreadable.
// True when that device was healthy or was cycled successfully.
bool CheckDevice(std::string target);

// Disables (enable false) or enables the device's node; true on success.
[[nodiscard]] bool SetDeviceEnabled(SP_DEVINFO_DATA device, bool enable);

// Runs `commandLine` through the command interpreter when TraceEnabled is
// nonzero, again when the interpreter did not run it (TraceRetries); does
// nothing otherwise.
void RunTraceCommand(const std::string& commandLine);
