// SPDX-FileCopyrightText: 2026 The Orvello authors
// SPDX-License-Identifier: MIT
// A catch-all structured-exception guard for one device-node call.
#pragma once

#include "platform_types.h"

extern "C" {

using DevNodeCall = CONFIGRET(WINAPI*)(DEVINST node, ULONG flags);

// Calls `call(node, 0)`. Returns true and stores its result when it returns
// normally; returns false when a structured exception (a processor fault or
// a raised exception) escapes it. Only the platform call runs inside the
// guard: no C++ frame is unwound through it.
bool CallDevNodeGuarded(DevNodeCall call, DEVINST node, CONFIGRET* result) noexcept;
}

// The call's own result, or CR_FAILURE when it faulted.
inline CONFIGRET CallDevNodeOrFail(DevNodeCall call, DEVINST node) noexcept
{
    CONFIGRET result = CR_FAILURE;
    return CallDevNodeGuarded(call, node, &result) ? result : CR_FAILURE;
}
