// Hardware ID matching: the one place where the matching rule lives.
#include <cstring>
#include <string>

#include "recovery.h"

namespace {

// Narrow text of the first hardware ID in `hardwareIds`, up to its ending 0;
// false when there is none.
bool FirstHardwareIdToNarrow(const WCHAR* hardwareIds, std::string* narrow)
{
    if (hardwareIds == nullptr) {
        return false;
    }
    std::size_t units = 0;
    while (hardwareIds[units] != 0) {
        ++units;
    }
    if (units + 1 > MaxHardwareIdUnits) {
        return false;
    }
#ifdef _WIN32
    // Ask the conversion how much room it needs: under a UTF-8 ANSI code
    // page one UTF-16 unit can take three bytes. Heap storage, because the
    // length comes from device data.
    const int needed = WideCharToMultiByte(CP_THREAD_ACP, 0, hardwareIds, -1, nullptr, 0, nullptr, nullptr);
    if (needed <= 0) {
        return false;
    }
    narrow->assign(static_cast<std::size_t>(needed), '\0');
    if (WideCharToMultiByte(CP_THREAD_ACP, 0, hardwareIds, -1, narrow->data(), needed, nullptr, nullptr) == 0) {
        return false;
    }
    narrow->resize(std::strlen(narrow->c_str()));
#else
    // No code page here: ASCII maps to itself, anything else to '?'.
    narrow->clear();
    narrow->reserve(units);
    for (std::size_t i = 0; i < units; ++i) {
        const WCHAR unit = hardwareIds[i];
        narrow->push_back(unit < 0x80 ? static_cast<char>(unit) : '?');
    }
#endif
    return true;
}

}  // namespace

bool MatchHardwareId(const WCHAR* hardwareIds, std::string target)
{
    std::string converted;
    if (!FirstHardwareIdToNarrow(hardwareIds, &converted)) {
        return false;
    }
    // A prefix test: a longer first ID that begins with the target matches.
    const std::size_t targetLength = std::strlen(target.c_str());
    return converted.size() >= targetLength && std::memcmp(converted.data(), target.data(), targetLength) == 0;
}
