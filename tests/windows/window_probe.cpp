// SPDX-FileCopyrightText: 2026 The Orvello authors
// SPDX-License-Identifier: MIT
// Starts orvello.exe, finds its main window while the checks run, and
// verifies that the window can never be seen: a zero-height layered tool
// window (no taskbar button) whose layered attributes were never set, with
// the title and class menu from the resources. Ends the process afterwards.
#include <cstdio>
#include <string>

#include <windows.h>

namespace {

int Failures = 0;

void Check(bool condition, const char* what)
{
    std::printf("%s: %s\n", condition ? "ok" : "FAIL", what);
    if (!condition) {
        ++Failures;
    }
}

// The main window's class name, read from the program's own string table.
std::wstring ClassNameOf(const wchar_t* exe)
{
    HMODULE module = LoadLibraryExW(exe, nullptr, LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
    if (module == nullptr) {
        return std::wstring();
    }
    WCHAR text[100] = {};
    LoadStringW(module, 109, text, 100);
    FreeLibrary(module);
    return text;
}

// The process's window of that class. Every GUI thread also owns other
// top-level windows (Wine and Windows both give it a "Default IME" one), in
// an order nobody controls, so the class is what identifies the main window.
HWND FindMainWindow(DWORD processId, const std::wstring& className)
{
    HWND window = nullptr;
    while ((window = FindWindowExW(nullptr, window, className.c_str(), nullptr)) != nullptr) {
        DWORD owner = 0;
        GetWindowThreadProcessId(window, &owner);
        if (owner == processId) {
            return window;
        }
    }
    return nullptr;
}

}  // namespace

int wmain(int argc, wchar_t** argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: window_probe PATH-TO-ORVELLO\n");
        return 2;
    }
    std::wstring commandLine = L"\"" + std::wstring(argv[1]) + L"\"";
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    if (!CreateProcessW(argv[1], commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                        &process)) {
        std::fprintf(stderr, "cannot start orvello: %lu\n", GetLastError());
        return 2;
    }

    const std::wstring className = ClassNameOf(argv[1]);
    Check(className == L"ORVELLO", "class name in the string table");
    // The window exists from start-up until the run's 20 s of checks end.
    HWND window = nullptr;
    const ULONGLONG deadline = GetTickCount64() + 10000;
    while (!className.empty() && window == nullptr && GetTickCount64() < deadline) {
        window = FindMainWindow(process.dwProcessId, className);
        if (window == nullptr) {
            Sleep(50);
        }
    }
    Check(window != nullptr, "main window exists while the checks run");
    if (window != nullptr) {
        const LONG_PTR exStyle = GetWindowLongPtrW(window, GWL_EXSTYLE);
        const LONG_PTR style = GetWindowLongPtrW(window, GWL_STYLE);
        Check((exStyle & WS_EX_LAYERED) != 0, "layered");
        Check((exStyle & WS_EX_TOOLWINDOW) != 0, "tool window: no taskbar button");
        Check((exStyle & WS_EX_APPWINDOW) == 0, "not forced onto the taskbar");
        Check((style & WS_POPUP) != 0 && (style & WS_CAPTION) != WS_CAPTION, "popup without caption");
        RECT rect{};
        GetWindowRect(window, &rect);
        std::printf("window rect %ld,%ld %ldx%ld\n", rect.left, rect.top, rect.right - rect.left,
                    rect.bottom - rect.top);
        Check(rect.bottom - rect.top == 0, "zero height");
        BYTE alpha = 0;
        DWORD flags = 0;
        Check(!GetLayeredWindowAttributes(window, nullptr, &alpha, &flags), "layered attributes never set");
        WCHAR text[64] = {};
        GetWindowTextW(window, text, 64);
        Check(std::wstring(text) == L"Orvello", "title from the string table");
        // Menu handles belong to the owning process under Wine, so only
        // their presence is checked from here; the PE check reads the menu.
        Check(GetMenu(window) != nullptr, "class menu attached");
    }

    // The run itself takes 20 s of pauses; its window is all that is asked here.
    TerminateProcess(process.hProcess, 3);
    WaitForSingleObject(process.hProcess, 10000);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    std::printf("%d failed\n", Failures);
    return Failures == 0 ? 0 : 1;
}
