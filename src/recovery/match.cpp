// SPDX-FileCopyrightText: 2026 The Orvello authors
// SPDX-License-Identifier: MIT
// Hardware ID matching: the one place where the matching rule lives.
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "recovery.h"

namespace {

struct MemoryFreer {
    void operator()(char* text) const noexcept { std::free(text); }
};
using NarrowText = std::unique_ptr<char, MemoryFreer>;

// Storage for text read from device data: its length is not ours to trust,
// so running out of memory must mean "no match", never a terminated process.
NarrowText AllocNarrow(std::size_t bytes)
{
    return NarrowText(static_cast<char*>(std::malloc(bytes)));
}

// Narrow text of the first hardware ID in `hardwareIds`, ended by a 0 byte;
// null when there is none.
NarrowText FirstHardwareIdToNarrow(const WCHAR* hardwareIds)
{
    if (hardwareIds == nullptr) {
        return nullptr;
    }
    std::size_t units = 0;
    while (hardwareIds[units] != 0) {
        ++units;
    }
    if (units + 1 > MaxHardwareIdUnits) {
        return nullptr;
    }
#ifdef _WIN32
    // Ask the conversion how much room it needs: under a UTF-8 ANSI code
    // page one UTF-16 unit can take three bytes. Heap storage, because the
    // length comes from device data.
    const int needed = WideCharToMultiByte(CP_THREAD_ACP, 0, hardwareIds, -1, nullptr, 0, nullptr, nullptr);
    if (needed <= 0) {
        return nullptr;
    }
    NarrowText narrow = AllocNarrow(static_cast<std::size_t>(needed));
    if (!narrow) {
        return nullptr;
    }
    if (WideCharToMultiByte(CP_THREAD_ACP, 0, hardwareIds, -1, narrow.get(), needed, nullptr, nullptr) == 0) {
        return nullptr;
    }
#else
    // No code page here: ASCII maps to itself, anything else to '?'.
    NarrowText narrow = AllocNarrow(units + 1);
    if (!narrow) {
        return nullptr;
    }
    for (std::size_t i = 0; i < units; ++i) {
        const WCHAR unit = hardwareIds[i];
        narrow.get()[i] = unit < 0x80 ? static_cast<char>(unit) : '?';
    }
    narrow.get()[units] = '\0';
#endif
    return narrow;
}

}  // namespace

bool MatchHardwareId(const WCHAR* hardwareIds, std::string target)
{
    const NarrowText converted = FirstHardwareIdToNarrow(hardwareIds);
    if (!converted) {
        return false;
    }
    // A prefix test: a longer first ID that begins with the target matches.
    // strncmp stops at the converted text's end, so a shorter ID never does.
    const std::size_t targetLength = std::strlen(target.c_str());
    return std::strncmp(converted.get(), target.c_str(), targetLength) == 0;
}
