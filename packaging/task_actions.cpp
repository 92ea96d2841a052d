// SPDX-FileCopyrightText: 2026 The Orvello authors
// SPDX-License-Identifier: MIT
// The MSI's custom actions: they register and delete the task "Orvello"
// through the Task Scheduler's API. Windows Installer runs them deferred, as
// LocalSystem, also in a repair that any user may start; so they start no
// program, whose window would open on that user's desktop as a way to
// SYSTEM, and read nothing but CustomActionData, which the package sets, and
// their own copy of a task that was there before a first installation, in
// a folder only administrators and SYSTEM can write. Every outcome is one
// line in the installer's log.
#include <windows.h>
#include <msi.h>
#include <msiquery.h>
#include <oleauto.h>
#include <taskschd.h>

#include <cstring>
#include <cwchar>
#include <memory>
#include <string>

namespace {

constexpr wchar_t TaskName[] = L"Orvello";
// Far more than any task definition; a larger file is not one.
constexpr LONGLONG MaxDefinitionBytes = 1 << 20;

struct ComReleaser {
    void operator()(IUnknown* object) const noexcept { object->Release(); }
};
template <typename Interface>
using UniqueCom = std::unique_ptr<Interface, ComReleaser>;

struct BstrFreer {
    void operator()(OLECHAR* text) const noexcept { SysFreeString(text); }
};
using UniqueBstr = std::unique_ptr<OLECHAR, BstrFreer>;

struct HandleCloser {
    void operator()(HANDLE handle) const noexcept { CloseHandle(handle); }
};
using UniqueHandle = std::unique_ptr<void, HandleCloser>;

struct LocalFreer {
    void operator()(void* memory) const noexcept { LocalFree(memory); }
};

// The text goes in as a field, not as the record's template, where a
// bracket in a path would be read as formatting.
void Log(MSIHANDLE install, const std::wstring& line) noexcept
{
    PMSIHANDLE record = MsiCreateRecord(1);
    MsiRecordSetStringW(record, 0, L"[1]");
    MsiRecordSetStringW(record, 1, line.c_str());
    MsiProcessMessage(install, INSTALLMESSAGE_INFO, record);
}

// Digits of a number (std::to_wstring would link in the C library's whole
// formatter).
std::wstring Digits(unsigned long long value, unsigned base, std::size_t width = 1)
{
    std::wstring digits;
    do {
        digits.insert(digits.begin(), L"0123456789ABCDEF"[value % base]);
        value /= base;
    } while (value != 0 || digits.size() < width);
    return digits;
}

// "0x80070002 (The system cannot find the file specified.)"
std::wstring Describe(HRESULT result)
{
    const std::wstring text = L"0x" + Digits(static_cast<unsigned long>(result), 16, 8);
    wchar_t* message = nullptr;
    DWORD length = FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                                      FORMAT_MESSAGE_IGNORE_INSERTS,
                                  nullptr, static_cast<DWORD>(result), 0, reinterpret_cast<wchar_t*>(&message), 0,
                                  nullptr);
    const std::unique_ptr<wchar_t, LocalFreer> held(message);
    while (length > 0 && std::wcschr(L" \r\n", message[length - 1]) != nullptr) {
        --length;
    }
    return text + L" (" + (length > 0 ? std::wstring(message, length) : L"no message text") + L")";
}

std::wstring CustomActionData(MSIHANDLE install)
{
    wchar_t none[1] = L"";
    DWORD length = 0;
    if (MsiGetPropertyW(install, L"CustomActionData", none, &length) != ERROR_MORE_DATA) {
        return {};
    }
    std::wstring value(length, L'\0');
    ++length;  // room for the terminator, which the string already has
    if (MsiGetPropertyW(install, L"CustomActionData", value.data(), &length) != ERROR_SUCCESS) {
        return {};
    }
    value.resize(length);
    return value;
}

// The definition's text, from UTF-16 with a byte-order mark, the one form
// the package writes; otherwise false with why in *problem.
bool ReadDefinition(const std::wstring& path, std::wstring* text, std::wstring* problem)
{
    HANDLE opened = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL, nullptr);
    if (opened == INVALID_HANDLE_VALUE) {
        *problem = L"cannot open it: " + Describe(HRESULT_FROM_WIN32(GetLastError()));
        return false;
    }
    const UniqueHandle file(opened);
    LARGE_INTEGER size{};
    if (!GetFileSizeEx(file.get(), &size)) {
        *problem = L"cannot read its size: " + Describe(HRESULT_FROM_WIN32(GetLastError()));
        return false;
    }
    if (size.QuadPart <= 2) {
        *problem = L"it is empty";
        return false;
    }
    if (size.QuadPart > MaxDefinitionBytes) {
        *problem = L"it is " + Digits(static_cast<unsigned long long>(size.QuadPart), 10) +
                   L" bytes long, more than any task definition";
        return false;
    }
    std::string bytes(static_cast<std::size_t>(size.QuadPart), '\0');
    DWORD read = 0;
    if (!ReadFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &read, nullptr)) {
        *problem = L"cannot read it: " + Describe(HRESULT_FROM_WIN32(GetLastError()));
        return false;
    }
    if (read != bytes.size()) {
        *problem = L"it changed while it was read";
        return false;
    }
    if (bytes.compare(0, 2, "\xFF\xFE") != 0 || bytes.size() % 2 != 0) {
        *problem = L"it is not UTF-16 text with a byte-order mark";
        return false;
    }
    text->resize(bytes.size() / 2 - 1);
    std::memcpy(text->data(), bytes.data() + 2, bytes.size() - 2);
    return true;
}

// Where the Task Scheduler found a definition wrong: it describes that as
// "(line,column):element:value" in the error information of the call.
std::wstring WhereInDefinition()
{
    IErrorInfo* rawInfo = nullptr;
    if (GetErrorInfo(0, &rawInfo) != S_OK || rawInfo == nullptr) {
        return {};
    }
    const UniqueCom<IErrorInfo> info(rawInfo);
    BSTR rawText = nullptr;
    if (FAILED(info->GetDescription(&rawText)) || rawText == nullptr) {
        return {};
    }
    const UniqueBstr description(rawText);
    const wchar_t* text = description.get();
    wchar_t* end = nullptr;
    if (text[0] == L'(') {
        const unsigned long line = std::wcstoul(text + 1, &end, 10);
        if (*end == L',') {
            const unsigned long column = std::wcstoul(end + 1, &end, 10);
            if (end[0] == L')' && end[1] == L':') {
                // "WakeToRun:" (element, no value), ":ERROR: incorrect document syntax" (none, a message)
                std::wstring detail = end + 2;
                detail.erase(detail.find_last_not_of(L':') + 1);
                detail.erase(0, detail.find_first_not_of(L':'));
                return L", at line " + Digits(line, 10) + L", column " + Digits(column, 10) +
                       (detail.empty() ? L"" : L": " + detail);
            }
        }
    }
    return text[0] != L'\0' ? L": " + std::wstring(text) : L"";
}

// Runs call(root folder) in a connection to the Task Scheduler service,
// with COM on this thread for its length; every interface is released
// before COM is. On failure *step says which step failed.
template <typename Call>
HRESULT InTaskFolder(Call call, const wchar_t** step)
{
    const HRESULT started = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED | COINIT_DISABLE_OLE1DDE);
    // RPC_E_CHANGED_MODE: the thread already has COM in the other mode,
    // usable as it is and not this action's to end.
    if (FAILED(started) && started != RPC_E_CHANGED_MODE) {
        *step = L"COM could not be initialised";
        return started;
    }
    const HRESULT result = [&]() -> HRESULT {
        ITaskService* rawService = nullptr;
        HRESULT hr = CoCreateInstance(__uuidof(TaskScheduler), nullptr, CLSCTX_INPROC_SERVER,
                                      __uuidof(ITaskService), reinterpret_cast<void**>(&rawService));
        const UniqueCom<ITaskService> service(rawService);
        if (FAILED(hr)) {
            *step = L"the Task Scheduler's interface is not available";
            return hr;
        }
        VARIANT none;
        VariantInit(&none);
        hr = service->Connect(none, none, none, none);
        if (FAILED(hr)) {
            *step = L"the Task Scheduler service did not answer";
            return hr;
        }
        const UniqueBstr rootPath(SysAllocString(L"\\"));
        ITaskFolder* rawFolder = nullptr;
        hr = rootPath ? service->GetFolder(rootPath.get(), &rawFolder) : E_OUTOFMEMORY;
        const UniqueCom<ITaskFolder> root(rawFolder);
        if (FAILED(hr)) {
            *step = L"the Task Scheduler's root folder cannot be opened";
            return hr;
        }
        *step = nullptr;
        return call(root.get());
    }();
    if (SUCCEEDED(started)) {
        CoUninitialize();
    }
    return result;
}

// How the Task Scheduler answers for a task that is not registered.
bool NoSuchTask(HRESULT hr)
{
    return hr == HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND) || hr == HRESULT_FROM_WIN32(ERROR_PATH_NOT_FOUND);
}

std::wstring Failure(const wchar_t* step, HRESULT result)
{
    return (step != nullptr ? std::wstring(step) + L": " : std::wstring()) + Describe(result);
}

// Registers the task from the definition file at `path`; `done` is the
// log line's start on success.
bool RegisterFromFile(MSIHANDLE install, const std::wstring& path, const std::wstring& done)
{
    const std::wstring failed = L"could not register the task Orvello from " + path + L": ";
    std::wstring xml, problem;
    if (!ReadDefinition(path, &xml, &problem)) {
        Log(install, failed + problem);
        return false;
    }
    std::wstring where;
    const wchar_t* step = nullptr;
    const HRESULT hr = InTaskFolder(
        [&](ITaskFolder* root) {
            const UniqueBstr name(SysAllocString(TaskName));
            const UniqueBstr text(SysAllocStringLen(xml.data(), static_cast<UINT>(xml.size())));
            if (!name || !text) {
                return E_OUTOFMEMORY;
            }
            // No account or logon type: the definition's own principal.
            VARIANT none;
            VariantInit(&none);
            IRegisteredTask* rawTask = nullptr;
            SetErrorInfo(0, nullptr);
            const HRESULT registered = root->RegisterTask(name.get(), text.get(), TASK_CREATE_OR_UPDATE, none, none,
                                                          TASK_LOGON_NONE, none, &rawTask);
            const UniqueCom<IRegisteredTask> task(rawTask);
            if (FAILED(registered)) {
                where = WhereInDefinition();
            }
            return registered;
        },
        &step);
    if (FAILED(hr)) {
        Log(install, failed + Failure(step, hr) + where);
        return false;
    }
    // A success code other than S_OK is a warning, such as a trigger that
    // will not start the task.
    Log(install, done + (hr != S_OK ? L", with the warning " + Describe(hr) : L""));
    return true;
}

bool RegisterFromDefinition(MSIHANDLE install)
{
    const std::wstring path = CustomActionData(install);
    if (path.empty()) {
        Log(install, L"could not register the task Orvello: no task definition was named (CustomActionData is empty)");
        return false;
    }
    return RegisterFromFile(install, path, L"registered the task Orvello from " + path);
}

// Where the first installation keeps a task Orvello that was there before
// it (registered by the zip's install.cmd), for its rollback to register
// again: Windows Installer's own folder, which only administrators and
// SYSTEM can write, so what the rollback registers as a SYSTEM task is
// what was there. Empty when the Windows folder cannot be found.
std::wstring SavedDefinitionPath()
{
    wchar_t folder[MAX_PATH];
    const UINT length = GetSystemWindowsDirectoryW(folder, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) {
        return {};
    }
    return std::wstring(folder, length) + L"\\Installer\\Orvello-task-before-install.xml";
}

// The task's definition as Task Scheduler holds it; S_FALSE when there is
// no such task.
HRESULT RegisteredDefinition(std::wstring* xml, const wchar_t** step)
{
    return InTaskFolder(
        [&](ITaskFolder* root) {
            const UniqueBstr name(SysAllocString(TaskName));
            if (!name) {
                return E_OUTOFMEMORY;
            }
            IRegisteredTask* rawTask = nullptr;
            HRESULT hr = root->GetTask(name.get(), &rawTask);
            const UniqueCom<IRegisteredTask> task(rawTask);
            if (NoSuchTask(hr)) {
                return S_FALSE;
            }
            if (FAILED(hr)) {
                return hr;
            }
            BSTR rawXml = nullptr;
            hr = task->get_Xml(&rawXml);
            const UniqueBstr text(rawXml);
            if (SUCCEEDED(hr)) {
                xml->assign(text ? text.get() : L"", text ? SysStringLen(text.get()) : 0);
            }
            return SUCCEEDED(hr) && xml->empty() ? E_UNEXPECTED : hr;
        },
        step);
}

// Writes the definition as UTF-16 with a byte-order mark, the one form
// ReadDefinition reads.
bool WriteDefinition(const std::wstring& path, const std::wstring& xml, std::wstring* problem)
{
    HANDLE created = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (created == INVALID_HANDLE_VALUE) {
        *problem = L"cannot create it: " + Describe(HRESULT_FROM_WIN32(GetLastError()));
        return false;
    }
    const UniqueHandle file(created);
    std::string bytes("\xFF\xFE");
    bytes.append(reinterpret_cast<const char*>(xml.data()), xml.size() * sizeof(wchar_t));
    DWORD written = 0;
    if (!WriteFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) ||
        written != bytes.size() || !FlushFileBuffers(file.get())) {
        *problem = L"cannot write it: " + Describe(HRESULT_FROM_WIN32(GetLastError()));
        return false;
    }
    return true;
}

bool Exists(const std::wstring& path)
{
    return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

// Removes the kept copy; true when none is left.
bool ForgetTheTask(MSIHANDLE install, const std::wstring& path)
{
    if (path.empty() || !Exists(path)) {
        return true;
    }
    if (!DeleteFileW(path.c_str())) {
        Log(install, L"could not delete " + path + L": " + Describe(HRESULT_FROM_WIN32(GetLastError())));
        return false;
    }
    Log(install, L"deleted " + path);
    return true;
}

// Before a first installation registers the task: keeps the definition of
// a task Orvello already there, or makes sure no earlier copy is left.
bool SaveTheTask(MSIHANDLE install)
{
    const std::wstring path = SavedDefinitionPath();
    const std::wstring failed = L"could not keep the task Orvello registered before this installation";
    if (path.empty()) {
        Log(install, failed + L": the Windows folder cannot be found");
        return false;
    }
    std::wstring xml, problem;
    const wchar_t* step = nullptr;
    const HRESULT hr = RegisteredDefinition(&xml, &step);
    if (FAILED(hr)) {
        Log(install, failed + L": " + Failure(step, hr));
        return false;
    }
    if (hr == S_FALSE) {
        // A copy an interrupted installation left must not be registered by this one's rollback.
        if (!ForgetTheTask(install, path)) {
            return false;
        }
        Log(install, L"the task Orvello was not registered before this installation");
        return true;
    }
    if (!WriteDefinition(path, xml, &problem)) {
        Log(install, failed + L" in " + path + L": " + problem);
        return false;
    }
    Log(install, L"kept the task Orvello registered before this installation in " + path);
    return true;
}

bool DeleteTheTask(MSIHANDLE install)
{
    const wchar_t* step = nullptr;
    const HRESULT hr = InTaskFolder(
        [](ITaskFolder* root) {
            const UniqueBstr name(SysAllocString(TaskName));
            return name ? root->DeleteTask(name.get(), 0) : E_OUTOFMEMORY;
        },
        &step);
    if (step == nullptr && NoSuchTask(hr)) {
        Log(install, L"the task Orvello was not registered");
        return true;
    }
    if (FAILED(hr)) {
        Log(install, L"could not delete the task Orvello: " + Failure(step, hr));
        return false;
    }
    Log(install, L"deleted the task Orvello");
    return true;
}

}  // namespace

// Registers (creates or updates) the task from the definition file that
// CustomActionData names, with the definition's own principal.
extern "C" __declspec(dllexport) UINT __stdcall RegisterOrvelloTask(MSIHANDLE install)
{
    return RegisterFromDefinition(install) ? ERROR_SUCCESS : ERROR_INSTALL_FAILURE;
}

// Deletes the task; one that is not there counts as deleted. A run under
// way is not ended.
extern "C" __declspec(dllexport) UINT __stdcall DeleteOrvelloTask(MSIHANDLE install)
{
    return DeleteTheTask(install) ? ERROR_SUCCESS : ERROR_INSTALL_FAILURE;
}

// Before a first installation registers the task: keeps a copy of the
// definition of a task Orvello that is already registered.
extern "C" __declspec(dllexport) UINT __stdcall SaveOrvelloTask(MSIHANDLE install)
{
    return SaveTheTask(install) ? ERROR_SUCCESS : ERROR_INSTALL_FAILURE;
}

// The rollback of a first installation's registration: the task as it was
// before, from the kept copy, which is then deleted; with no copy, no task.
extern "C" __declspec(dllexport) UINT __stdcall RestoreOrvelloTask(MSIHANDLE install)
{
    const std::wstring path = SavedDefinitionPath();
    if (path.empty() || !Exists(path)) {
        return DeleteTheTask(install) ? ERROR_SUCCESS : ERROR_INSTALL_FAILURE;
    }
    const bool registered =
        RegisterFromFile(install, path, L"registered the task Orvello again as it was before this installation");
    // Kept when it could not be registered: an administrator can still
    // register it by hand, as the log says.
    return registered && ForgetTheTask(install, path) ? ERROR_SUCCESS : ERROR_INSTALL_FAILURE;
}

// After a first installation succeeded: the kept copy is no longer needed.
extern "C" __declspec(dllexport) UINT __stdcall ForgetOrvelloTask(MSIHANDLE install)
{
    return ForgetTheTask(install, SavedDefinitionPath()) ? ERROR_SUCCESS : ERROR_INSTALL_FAILURE;
}
