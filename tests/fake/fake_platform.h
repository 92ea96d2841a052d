// SPDX-FileCopyrightText: 2026 The Orvello authors
// SPDX-License-Identifier: MIT
// A scriptable stand-in for the device-access seam. Tests describe the
// present devices and the failures to inject, run checks, and then read the
// recorded calls and the balance of snapshots and buffers.
#pragma once

#include <cstddef>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "recovery/platform_types.h"

namespace Fake {

enum class Op { Snapshot, Enum, ReadIds, Alloc, Free, Status, Disable, Enable, Destroy, Pause, Command };

// Problem number a disabled node reports, as the platform does.
inline constexpr ULONG ProblemDisabled = 22;
// Status word of a started, healthy node (DN_DRIVER_LOADED | DN_STARTED | ...).
inline constexpr ULONG HealthyStatus = 0x0180200A;
// Allocations above this fail, as a real LocalAlloc of absurd size would.
inline constexpr std::size_t MaxAllocBytes = 64u << 20;

// A structured exception raised inside a disable or enable call. Where the
// platform has no such mechanism the call simply fails.
enum class Fault { None, AccessViolation, Raise };

struct Device {
    std::vector<BYTE> hardwareIds;  // the property value exactly as stored
    DEVINST devInst = 0;
    DWORD readError = 0;                     // nonzero: every property read fails with it
    std::optional<DWORD> reportedSize;       // required size reported instead of the true one
    CONFIGRET statusResult = CR_SUCCESS;
    ULONG status = HealthyStatus;
    CONFIGRET disableResult = CR_SUCCESS;
    CONFIGRET enableResult = CR_SUCCESS;
    Fault disableFault = Fault::None;
    Fault enableFault = Fault::None;
    bool cycleClearsProblem = false;  // a successful disable+enable fixes the node
    bool disabled = false;
};

struct Call {
    Op op;
    std::string text;
};

struct State {
    std::vector<Device> devices;
    // Injected failures: the nth (0-based) call of an operation fails with
    // the given error (last-error value, or CONFIGRET for node calls).
    std::map<std::pair<Op, int>, DWORD> failures;
    std::map<Op, int> counts;
    std::vector<Call> calls;
    std::vector<std::string> violations;  // misuse of the seam seen by the fake
    int snapshotsTaken = 0;
    int snapshotsReleased = 0;
    int buffersAllocated = 0;
    int buffersFreed = 0;
    std::map<void*, std::size_t> liveBuffers;
    std::set<HDEVINFO> liveSnapshots;
    DWORD lastError = 0;
    int nextSnapshot = 1;
    bool runCommands = false;  // also hand command lines to the real interpreter
    bool recordCalls = true;   // off for benchmarks, where recording would dominate
};

State& Platform();
void Reset();

// A property value as the platform stores it: each ID ended by a 0 unit,
// the list ended by one more.
std::vector<BYTE> MultiSz(std::initializer_list<std::u16string_view> ids);
// Raw UTF-16 units with no terminator added.
std::vector<BYTE> RawUnits(std::u16string_view units);

// Appends a device and returns its index; its DevInst is 100 + index.
std::size_t AddDevice(std::vector<BYTE> hardwareIds, ULONG status = HealthyStatus);

void FailNth(Op op, int nth, DWORD error);

// The recorded calls of the given kinds, formatted like "DisableDevNode 100".
std::vector<std::string> Calls(std::initializer_list<Op> ops);
std::vector<std::string> AllCalls();

// True when every snapshot and buffer obtained was released exactly once.
bool Balanced();

}  // namespace Fake
