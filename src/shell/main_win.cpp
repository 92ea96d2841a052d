// SPDX-FileCopyrightText: 2026 The Orvello authors
// SPDX-License-Identifier: MIT
// Process entry, the hidden main window and the About box.
#include <windows.h>

#include "resource.h"
#include "shell/shell.h"

namespace {

HINSTANCE Instance = nullptr;
WCHAR Title[MaxLoadString];
WCHAR WindowClassName[MaxLoadString];

void RegisterMainWindowClass(HINSTANCE instance)
{
    WNDCLASSEXW windowClass{};
    windowClass.cbSize = sizeof windowClass;
    windowClass.style = CS_HREDRAW | CS_VREDRAW;
    windowClass.lpfnWndProc = MainWndProc;
    windowClass.cbClsExtra = 0;
    windowClass.cbWndExtra = 0;
    windowClass.hInstance = instance;
    windowClass.hIcon = LoadIconW(instance, MAKEINTRESOURCEW(ID_ICON_LARGE));
    windowClass.hCursor = LoadCursorW(nullptr, IDC_ARROW);
    windowClass.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_WINDOW + 1);
    windowClass.lpszMenuName = MAKEINTRESOURCEW(ID_MENU_MAIN);
    windowClass.lpszClassName = WindowClassName;
    windowClass.hIconSm = LoadIconW(instance, MAKEINTRESOURCEW(ID_ICON_SMALL));
    RegisterClassExW(&windowClass);
}

// Layered with no attributes ever set, zero-sized, and a tool window: it
// never appears on screen or in the taskbar.
HWND CreateMainWindow(HINSTANCE instance)
{
    return CreateWindowExW(WS_EX_LAYERED | WS_EX_TOOLWINDOW, WindowClassName, Title, WS_POPUP, CW_USEDEFAULT, 0,
                           CW_USEDEFAULT, 0, nullptr, nullptr, instance, nullptr);
}

// Both registrations end with the process; their handles are not needed.
void OnCreate(HWND window)
{
    RegisterSuspendResumeNotification(window, DEVICE_NOTIFY_WINDOW_HANDLE);
    RegisterPowerSettingNotification(window, &GUID_MONITOR_POWER_ON, DEVICE_NOTIFY_WINDOW_HANDLE);
}

LRESULT OnCommand(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    switch (LOWORD(wParam)) {
    case ID_CMD_ABOUT:
        DialogBoxParamW(Instance, MAKEINTRESOURCEW(ID_DLG_ABOUT), window, AboutDlgProc, 0);
        return 0;
    case ID_CMD_EXIT:
        DestroyWindow(window);
        return 0;
    default:
        return DefWindowProcW(window, message, wParam, lParam);
    }
}

void OnPaint(HWND window)
{
    PAINTSTRUCT paint;
    BeginPaint(window, &paint);
    EndPaint(window, &paint);
}

}  // namespace

LRESULT CALLBACK MainWndProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    switch (message) {
    case WM_CREATE:
        OnCreate(window);
        return 0;
    case WM_COMMAND:
        return OnCommand(window, message, wParam, lParam);
    case WM_PAINT:
        OnPaint(window);
        return 0;
    case WM_DESTROY:
        PostQuitMessage(0);
        return 0;
    default:
        return DefWindowProcW(window, message, wParam, lParam);
    }
}

INT_PTR CALLBACK AboutDlgProc(HWND dialog, UINT message, WPARAM wParam, LPARAM /*lParam*/)
{
    switch (message) {
    case WM_INITDIALOG:
        return TRUE;
    case WM_COMMAND:
        if (LOWORD(wParam) == IDOK || LOWORD(wParam) == IDCANCEL) {
            EndDialog(dialog, LOWORD(wParam));
            return TRUE;
        }
        return FALSE;
    default:
        return FALSE;
    }
}

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE /*previous*/, PWSTR /*commandLine*/, int showCommand)
{
    // First, before anything loads a DLL: this elevated program must never
    // load one from its own folder or the current directory, where someone
    // without its rights could have put it.
    SetDefaultDllDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32);
    LoadStringW(instance, ID_STR_TITLE, Title, MaxLoadString);
    LoadStringW(instance, ID_STR_CLASS, WindowClassName, MaxLoadString);
    RegisterMainWindowClass(instance);
    Instance = instance;

    HWND window = CreateMainWindow(instance);
    if (window == nullptr) {
        return 0;  // no window, no device touched
    }
    ShowWindow(window, showCommand);
    UpdateWindow(window);
    // No message loop translates keys, so the table's handle is not kept.
    LoadAcceleratorsW(instance, MAKEINTRESOURCEW(ID_ACCEL_MAIN));

    RunCheckSchedule();
    return 1;
}
