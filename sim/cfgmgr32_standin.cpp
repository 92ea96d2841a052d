// SPDX-FileCopyrightText: 2026 The Orvello authors
// SPDX-License-Identifier: MIT
// The simulated machine's cfgmgr32.dll. Wine does not implement
// CM_Disable_DevNode and CM_Enable_DevNode, so sim/machine.py puts this DLL
// in place of the prefix's System32 copy (WINEDLLOVERRIDES "cfgmgr32=n") and
// scripts its three functions per device node.
//
// ORVELLO_STANDIN_SCRIPT names a text file, one device node per line:
//   <instance-id> status=<reading> disable=<act> enable=<act> [after=<reading>]
//   <reading> is fail (the status cannot be read) or <hex>[:<problem>]: the
//   status word, and with DN_HAS_PROBLEM the problem number (default
//   CM_PROB_FAILED_START). A node with a problem is not DN_STARTED, as on
//   Windows; a line that says otherwise is a script error.
//   <act> is ok; a refusal with Windows' code: fail (CR_FAILURE), vetoed
//   (CR_REMOVE_VETOED), not-disableable (CR_NOT_DISABLEABLE), denied
//   (CR_ACCESS_DENIED), gone (CR_NO_SUCH_DEVINST); a fault: av (access
//   violation) or raise (RaiseException). Or a list of them, one per call,
//   the last one for every later call: enable=fail,ok fails the first
//   enable only.
// Blank lines and lines starting with '#' are skipped.
// As on Windows, a successful disable leaves the node disabled (problem 22,
// not started) until an enable succeeds, so a failed or faulting enable
// leaves it disabled. A successful enable gives it "after" when given (so a
// cycle can repair it and spare the later passes their 3 s pauses), else
// the status it had before the disable; a node scripted as disabled had
// been healthy.
// Nodes not in the script are healthy and refuse to be disabled or enabled.
//
// ORVELLO_STANDIN_LOG names a file that gets one line per call, written and
// closed before any scripted fault so that the test still sees it:
//   <ms from QueryPerformanceCounter> <function> <instance-id> <result>
// A status read's result is fail, <hex> or, with a problem, <hex>:<problem>.

#define _CFGMGR32_  // we define the CM_ functions instead of importing them
#include <windows.h>
#include <cfgmgr32.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

namespace {

// A started USB device with its driver: 0x0180200A.
constexpr ULONG HealthyStatus = DN_NT_DRIVER | DN_NT_ENUMERATOR | DN_DISABLEABLE | DN_STARTED | DN_DRIVER_LOADED;
constexpr ULONG DisabledStatus = DN_NT_DRIVER | DN_NT_ENUMERATOR | DN_DISABLEABLE | DN_HAS_PROBLEM;
constexpr DWORD StandinExceptionCode = 0xE04F5256;

enum class Fault { None, AccessViolation, Raise };

// A scripted answer: its word in the script and the log, what it returns.
struct Action {
    const char* word;
    CONFIGRET result;
    Fault fault;
};

constexpr Action Actions[] = {
    {"ok", CR_SUCCESS, Fault::None},
    {"fail", CR_FAILURE, Fault::None},
    {"vetoed", CR_REMOVE_VETOED, Fault::None},  // a driver or an open handle vetoed it
    {"not-disableable", CR_NOT_DISABLEABLE, Fault::None},
    {"denied", CR_ACCESS_DENIED, Fault::None},  // no administrator rights
    {"gone", CR_NO_SUCH_DEVINST, Fault::None},  // the node was removed
    {"av", CR_FAILURE, Fault::AccessViolation},
    {"raise", CR_FAILURE, Fault::Raise},
};
constexpr const Action* Refused = &Actions[1];

bool Succeeds(const Action& action)
{
    return action.result == CR_SUCCESS && action.fault == Fault::None;
}

// What CM_Get_DevNode_Status answers for a node.
struct Reading {
    bool readable = true;
    ULONG status = HealthyStatus;
    ULONG problem = 0;  // only with DN_HAS_PROBLEM
};

// One action per call; the last one repeats.
struct ActionList {
    std::vector<const Action*> actions{Refused};
    size_t calls = 0;
};

struct NodeScript {
    std::string instanceId;
    Reading reading;
    ActionList disable;
    ActionList enable;
    bool hasAfter = false;
    Reading after;
    bool disabled = false;
    Reading beforeDisable;  // what a successful enable restores without "after"
};

struct HandleCloser {
    void operator()(HANDLE h) const { CloseHandle(h); }
};
using UniqueHandle = std::unique_ptr<void, HandleCloser>;

UniqueHandle OpenFileHandle(const std::wstring& path, DWORD access, DWORD disposition)
{
    HANDLE h = CreateFileW(path.c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                           disposition, FILE_ATTRIBUTE_NORMAL, nullptr);
    return UniqueHandle(h == INVALID_HANDLE_VALUE ? nullptr : h);
}

std::wstring GetEnv(const wchar_t* name)
{
    wchar_t buffer[1024];
    DWORD n = GetEnvironmentVariableW(name, buffer, 1024);
    if (n == 0 || n >= 1024) return std::wstring();
    return std::wstring(buffer, n);
}

double NowMs()
{
    LARGE_INTEGER frequency;
    LARGE_INTEGER counter;
    QueryPerformanceFrequency(&frequency);
    QueryPerformanceCounter(&counter);
    return static_cast<double>(counter.QuadPart) * 1000.0 / static_cast<double>(frequency.QuadPart);
}

void AppendLog(const std::string& text)
{
    static const std::wstring logPath = GetEnv(L"ORVELLO_STANDIN_LOG");
    if (logPath.empty()) return;
    char stamp[32];
    std::snprintf(stamp, sizeof stamp, "%.3f ", NowMs());
    std::string line = stamp + text + "\r\n";
    // Opened and closed per line: the caller may fault right after this.
    UniqueHandle file = OpenFileHandle(logPath, FILE_APPEND_DATA, OPEN_ALWAYS);
    if (!file) return;
    DWORD written = 0;
    WriteFile(file.get(), line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
}

bool EqualNoCase(const std::string& a, const std::string& b)
{
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        unsigned char x = static_cast<unsigned char>(a[i]);
        unsigned char y = static_cast<unsigned char>(b[i]);
        if (x >= 'a' && x <= 'z') x = static_cast<unsigned char>(x - 'a' + 'A');
        if (y >= 'a' && y <= 'z') y = static_cast<unsigned char>(y - 'a' + 'A');
        if (x != y) return false;
    }
    return true;
}

bool ParseHex(const std::string& text, ULONG& value)
{
    if (text.empty()) return false;
    char* end = nullptr;
    unsigned long parsed = std::strtoul(text.c_str(), &end, 16);
    if (*end != '\0') return false;
    value = static_cast<ULONG>(parsed);
    return true;
}

// fail, or <hex>[:<problem>]: a problem number only with DN_HAS_PROBLEM,
// and DN_HAS_PROBLEM never with DN_STARTED.
bool ParseReading(const std::string& text, Reading& reading)
{
    reading = Reading();
    if (text == "fail") {
        reading.readable = false;
        return true;
    }
    size_t colon = text.find(':');
    if (!ParseHex(text.substr(0, colon), reading.status)) return false;
    bool hasProblem = (reading.status & DN_HAS_PROBLEM) != 0;
    if (!hasProblem) return colon == std::string::npos;
    if ((reading.status & DN_STARTED) != 0) return false;
    reading.problem = CM_PROB_FAILED_START;
    if (colon == std::string::npos) return true;
    const std::string number = text.substr(colon + 1);
    char* end = nullptr;
    reading.problem = static_cast<ULONG>(std::strtoul(number.c_str(), &end, 10));
    return !number.empty() && *end == '\0' && reading.problem != 0;
}

const Action* FindAction(const std::string& word)
{
    for (const Action& action : Actions)
        if (word == action.word) return &action;
    return nullptr;
}

std::vector<std::string> SplitWords(const std::string& line, const char* separators = " \t")
{
    std::vector<std::string> words;
    size_t i = 0;
    while (i < line.size()) {
        i = line.find_first_not_of(separators, i);
        if (i == std::string::npos) break;
        size_t end = line.find_first_of(separators, i);
        if (end == std::string::npos) end = line.size();
        words.push_back(line.substr(i, end - i));
        i = end;
    }
    return words;
}

bool ParseActionList(const std::string& text, ActionList& list)
{
    list.actions.clear();
    if (text.empty() || text.front() == ',' || text.back() == ',' || text.find(",,") != std::string::npos)
        return false;
    for (const std::string& word : SplitWords(text, ",")) {
        const Action* action = FindAction(word);
        if (action == nullptr) return false;
        list.actions.push_back(action);
    }
    return true;
}

const Action& NextAction(ActionList& list)
{
    size_t at = list.calls < list.actions.size() ? list.calls : list.actions.size() - 1;
    ++list.calls;
    return *list.actions[at];
}

bool ParseScriptLine(const std::string& line, NodeScript& node)
{
    std::vector<std::string> words = SplitWords(line);
    if (words.empty()) return false;
    node.instanceId = words[0];
    for (size_t i = 1; i < words.size(); ++i) {
        const std::string& word = words[i];
        size_t eq = word.find('=');
        if (eq == std::string::npos) return false;
        std::string key = word.substr(0, eq);
        std::string value = word.substr(eq + 1);
        bool good = false;
        if (key == "status") {
            good = ParseReading(value, node.reading);
        } else if (key == "disable") {
            good = ParseActionList(value, node.disable);
        } else if (key == "enable") {
            good = ParseActionList(value, node.enable);
        } else if (key == "after") {
            node.hasAfter = true;
            good = ParseReading(value, node.after);
        }
        if (!good) return false;
    }
    if (node.reading.readable && (node.reading.status & DN_HAS_PROBLEM) != 0 &&
        node.reading.problem == CM_PROB_DISABLED) {
        node.disabled = true;
    }
    return true;
}

std::vector<NodeScript> LoadScript()
{
    std::vector<NodeScript> nodes;
    std::wstring path = GetEnv(L"ORVELLO_STANDIN_SCRIPT");
    if (path.empty()) return nodes;
    UniqueHandle file = OpenFileHandle(path, GENERIC_READ, OPEN_EXISTING);
    if (!file) {
        AppendLog("script-error cannot-open");
        return nodes;
    }
    std::string text;
    char chunk[4096];
    DWORD got = 0;
    while (ReadFile(file.get(), chunk, sizeof chunk, &got, nullptr) && got > 0) text.append(chunk, got);

    size_t pos = 0;
    while (pos <= text.size()) {
        size_t end = text.find('\n', pos);
        if (end == std::string::npos) end = text.size();
        std::string line = text.substr(pos, end - pos);
        pos = end + 1;
        if (!line.empty() && line.back() == '\r') line.pop_back();
        size_t first = line.find_first_not_of(" \t");
        if (first == std::string::npos || line[first] == '#') continue;
        NodeScript node;
        if (ParseScriptLine(line, node)) nodes.push_back(node);
        else AppendLog("script-error " + line);  // the harness fails on these
    }
    return nodes;
}

// Single-threaded caller, so a lazily loaded table needs no lock.
std::vector<NodeScript>& Script()
{
    static std::vector<NodeScript> nodes = LoadScript();
    return nodes;
}

std::string InstanceIdOf(DEVINST node)
{
    WCHAR wide[MAX_DEVICE_ID_LEN + 1] = {};
    if (CM_Get_Device_IDW(node, wide, MAX_DEVICE_ID_LEN + 1, 0) != CR_SUCCESS)
        return "unknown-devinst-" + std::to_string(node);
    char narrow[4 * (MAX_DEVICE_ID_LEN + 1)] = {};
    WideCharToMultiByte(CP_UTF8, 0, wide, -1, narrow, sizeof narrow, nullptr, nullptr);
    return narrow;
}

NodeScript* FindNode(const std::string& instanceId)
{
    for (NodeScript& node : Script())
        if (EqualNoCase(node.instanceId, instanceId)) return &node;
    return nullptr;
}

void ForceAccessViolation()
{
    // Both levels volatile: with a plain pointee GCC drops the store as dead.
    volatile int* volatile target = nullptr;
    *target = 1;
}

// Logs the call, then does what the script asks.
CONFIGRET Perform(const char* function, const std::string& instanceId, const Action& action)
{
    const std::string line = std::string(function) + " " + instanceId + " " + action.word;
    AppendLog(line);
    if (action.fault == Fault::AccessViolation) {
        ForceAccessViolation();
        AppendLog(line + "-did-not-fault");
    } else if (action.fault == Fault::Raise) {
        RaiseException(StandinExceptionCode, 0, 0, nullptr);
        AppendLog(line + "-was-continued");
    }
    return action.result;
}

// The program passes flags 0 to every call; anything else is logged and
// refused, so a wrong argument shows up in the call log.
bool FlagsRejected(const char* function, const std::string& instanceId, ULONG flags)
{
    if (flags == 0) {
        return false;
    }
    AppendLog(std::string(function) + " " + instanceId + " bad-flags");
    return true;
}

}  // namespace

extern "C" {

CONFIGRET WINAPI CM_Get_DevNode_Status(PULONG pulStatus, PULONG pulProblemNumber, DEVINST dnDevInst,
                                       ULONG ulFlags)
{
    std::string id = InstanceIdOf(dnDevInst);
    if (FlagsRejected("CM_Get_DevNode_Status", id, ulFlags)) {
        return CR_INVALID_FLAG;
    }
    if (pulStatus == nullptr || pulProblemNumber == nullptr) {
        AppendLog("CM_Get_DevNode_Status " + id + " bad-pointer");
        return CR_INVALID_POINTER;
    }
    const NodeScript* node = FindNode(id);
    const Reading reading = node != nullptr ? node->reading : Reading();
    if (!reading.readable) {
        AppendLog("CM_Get_DevNode_Status " + id + " fail");
        return CR_FAILURE;
    }
    char text[32];
    if ((reading.status & DN_HAS_PROBLEM) != 0)
        std::snprintf(text, sizeof text, "0x%08lX:%lu", reading.status, reading.problem);
    else
        std::snprintf(text, sizeof text, "0x%08lX", reading.status);
    AppendLog("CM_Get_DevNode_Status " + id + " " + text);
    *pulStatus = reading.status;
    *pulProblemNumber = reading.problem;
    return CR_SUCCESS;
}

CONFIGRET WINAPI CM_Disable_DevNode(DEVINST dnDevInst, ULONG ulFlags)
{
    std::string id = InstanceIdOf(dnDevInst);
    if (FlagsRejected("CM_Disable_DevNode", id, ulFlags)) {
        return CR_INVALID_FLAG;
    }
    NodeScript* node = FindNode(id);
    if (node == nullptr) return Perform("CM_Disable_DevNode", id, *Refused);
    const Action& action = NextAction(node->disable);
    if (Succeeds(action) && !node->disabled) {
        node->beforeDisable = node->reading;
        node->disabled = true;
        node->reading.readable = true;
        node->reading.status = DisabledStatus;
        node->reading.problem = CM_PROB_DISABLED;
    }
    return Perform("CM_Disable_DevNode", id, action);
}

CONFIGRET WINAPI CM_Enable_DevNode(DEVINST dnDevInst, ULONG ulFlags)
{
    std::string id = InstanceIdOf(dnDevInst);
    if (FlagsRejected("CM_Enable_DevNode", id, ulFlags)) {
        return CR_INVALID_FLAG;
    }
    NodeScript* node = FindNode(id);
    if (node == nullptr) return Perform("CM_Enable_DevNode", id, *Refused);
    const Action& action = NextAction(node->enable);
    if (Succeeds(action) && node->disabled) {
        node->reading = node->hasAfter ? node->after : node->beforeDisable;
        node->disabled = false;
    }
    return Perform("CM_Enable_DevNode", id, action);
}

}  // extern "C"
