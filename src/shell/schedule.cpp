// SPDX-FileCopyrightText: 2026 The Orvello authors
// SPDX-License-Identifier: MIT
// The check schedule: which devices are examined, in which order, how often.
#include <string>

#include "recovery/device_access.h"
#include "recovery/recovery.h"
#include "shell/shell.h"

void RunCheckSchedule()
{
    for (int pass = 1; pass <= PassCount; ++pass) {
        for (const char* hardwareId : TargetHardwareIds) {
            // A failed check never shortens the pass: every ID gets its turn.
            CheckDevice(std::string(hardwareId));
        }
        if (pass != PassCount) {
            DeviceAccess::Pause(PassPauseMs);
        }
    }
}
