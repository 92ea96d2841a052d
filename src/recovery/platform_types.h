// SPDX-FileCopyrightText: 2026 The Orvello authors
// SPDX-License-Identifier: MIT
// Platform types and constants that the recovery logic uses.
// On Windows they come from the platform's own headers; elsewhere this file
// mirrors the few definitions the portable logic needs, so the same sources
// compile natively for the tests.
#pragma once

#ifdef _WIN32

#include <windows.h>
#include <setupapi.h>
#include <cfgmgr32.h>

#else

#include <cstdint>

using BYTE = std::uint8_t;
using WORD = std::uint16_t;
using DWORD = std::uint32_t;
using ULONG = std::uint32_t;
using BOOL = int;
using WCHAR = char16_t;
using ULONG_PTR = std::uintptr_t;
using DEVINST = DWORD;
using CONFIGRET = DWORD;
using HDEVINFO = void*;

struct GUID {
    std::uint32_t Data1;
    std::uint16_t Data2;
    std::uint16_t Data3;
    std::uint8_t Data4[8];
};

struct SP_DEVINFO_DATA {
    DWORD cbSize;
    GUID ClassGuid;
    DWORD DevInst;
    ULONG_PTR Reserved;
};

#define WINAPI
#define INVALID_HANDLE_VALUE (reinterpret_cast<HDEVINFO>(static_cast<std::intptr_t>(-1)))

constexpr DWORD DIGCF_PRESENT = 0x00000002;
constexpr DWORD DIGCF_ALLCLASSES = 0x00000004;
constexpr DWORD SPDRP_HARDWAREID = 0x00000001;
constexpr DWORD ERROR_INSUFFICIENT_BUFFER = 122;
constexpr CONFIGRET CR_SUCCESS = 0x00000000;
constexpr CONFIGRET CR_FAILURE = 0x00000013;
constexpr ULONG DN_HAS_PROBLEM = 0x00000400;

#endif
