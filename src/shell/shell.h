// SPDX-FileCopyrightText: 2026 The Orvello authors
// SPDX-License-Identifier: MIT
// Application shell: the fixed schedule of checks, and on Windows the
// process entry, the hidden main window and its About box.
#pragma once

#include <array>

#include "recovery/platform_types.h"

inline constexpr std::array<const char*, 12> TargetHardwareIds = {
    "USB\\VID_05E3&PID_0610&REV_6941", "USB\\VID_05E3&PID_0610&REV_6942",
    "USB\\VID_05E3&PID_0625&REV_6941", "USB\\VID_05E3&PID_0625&REV_6942",
    "USB\\VID_05E3&PID_0610&REV_2001", "USB\\VID_05E3&PID_0610&REV_3001",
    "USB\\VID_05E3&PID_0625&REV_2001", "USB\\VID_05E3&PID_0625&REV_3001",
    "USB\\VID_05E3&PID_0610&REV_2000", "USB\\VID_05E3&PID_0610&REV_3000",
    "USB\\VID_05E3&PID_0625&REV_2000", "USB\\VID_05E3&PID_0625&REV_3000",
};

inline constexpr int PassCount = 5;
inline constexpr DWORD PassPauseMs = 5000;

// Five passes over TargetHardwareIds, pausing after each pass but the last.
void RunCheckSchedule();

#ifdef _WIN32
// Capacity, in characters, of the title and class-name buffers.
inline constexpr int MaxLoadString = 100;

LRESULT CALLBACK MainWndProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
INT_PTR CALLBACK AboutDlgProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);
#endif
