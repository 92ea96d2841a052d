// SPDX-FileCopyrightText: 2026 The Orvello authors
// SPDX-License-Identifier: MIT
// Fuzz target: MatchHardwareId on arbitrary UTF-16 buffers and targets,
// checked against a plain restatement of the matching rule.
//
// Input: byte 0 holds flags (bit 0: pass a null buffer; bit 1: repeat the
// units 1 + (byte 0 >> 2) times, for long IDs); byte 1 is the target length;
// then the target bytes; the rest are UTF-16 units, little-endian.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "recovery/recovery.h"

namespace {

// The rule, unit by unit: every target byte before its first 0 must meet a
// unit of the first ID, ASCII as itself and anything else as '?'.
bool ReferenceMatch(const std::vector<WCHAR>& units, const std::string& target)
{
    for (std::size_t i = 0; i < target.size() && target[i] != '\0'; ++i) {
        if (i >= units.size() || units[i] == 0) {
            return false;
        }
        const char narrow = units[i] < 0x80 ? static_cast<char>(units[i]) : '?';
        if (narrow != target[i]) {
            return false;
        }
    }
    return true;
}

[[noreturn]] void Mismatch(bool actual, const std::vector<WCHAR>& units, const std::string& target)
{
    std::fprintf(stderr, "MatchHardwareId returned %d against the rule; target (%zu bytes):", actual, target.size());
    for (const char c : target) {
        std::fprintf(stderr, " %02x", static_cast<unsigned char>(c));
    }
    std::fprintf(stderr, "\nfirst units of %zu:", units.size());
    for (std::size_t i = 0; i < units.size() && i < 64; ++i) {
        std::fprintf(stderr, " %04x", static_cast<unsigned>(units[i]));
    }
    std::fprintf(stderr, "\n");
    std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size < 2) {
        return 0;
    }
    const bool nullBuffer = (data[0] & 1u) != 0;
    const std::size_t repeats = (data[0] & 2u) != 0 ? 1u + (data[0] >> 2) : 1u;
    std::size_t pos = 2;
    const std::size_t targetLength = data[1] < size - pos ? data[1] : size - pos;
    std::string target(reinterpret_cast<const char*>(data + pos), targetLength);
    pos += targetLength;

    std::vector<WCHAR> units;
    for (std::size_t r = 0; r < repeats; ++r) {
        for (std::size_t i = pos; i + 1 < size; i += 2) {
            units.push_back(static_cast<WCHAR>(data[i] | (data[i + 1] << 8)));
        }
    }

    if (nullBuffer) {
        if (MatchHardwareId(nullptr, target)) {
            Mismatch(true, units, target);
        }
        return 0;
    }
    // Exactly the units plus the one terminator the harness adds, on the
    // heap, so the address sanitizer sees any read past them.
    const std::unique_ptr<WCHAR[]> buffer(new WCHAR[units.size() + 1]);
    for (std::size_t i = 0; i < units.size(); ++i) {
        buffer[i] = units[i];
    }
    buffer[units.size()] = 0;

    const bool actual = MatchHardwareId(buffer.get(), target);
    if (actual != ReferenceMatch(units, target)) {
        Mismatch(actual, units, target);
    }
    return 0;
}
