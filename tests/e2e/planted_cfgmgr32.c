// SPDX-FileCopyrightText: 2026 The Orvello authors
// SPDX-License-Identifier: MIT
/* A cfgmgr32.dll as someone without administrator rights might plant it
 * beside orvello.exe: merely loading it runs its DllMain, which creates the
 * file named by ORVELLO_PLANTED_MARKER. It exports what the program calls,
 * so that a program importing them from it would start and run it. */
#include <windows.h>

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved)
{
    (void)instance;
    (void)reserved;
    if (reason == DLL_PROCESS_ATTACH) {
        WCHAR path[MAX_PATH];
        DWORD length = GetEnvironmentVariableW(L"ORVELLO_PLANTED_MARKER", path, MAX_PATH);
        if (length > 0 && length < MAX_PATH) {
            HANDLE file = CreateFileW(path, GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
            if (file != INVALID_HANDLE_VALUE) {
                CloseHandle(file);
            }
        }
    }
    return TRUE;
}

/* CR_FAILURE for everything: the marker is what the test looks for. */
DWORD WINAPI CM_Get_DevNode_Status(DWORD* status, DWORD* problem, DWORD node, DWORD flags)
{
    (void)status, (void)problem, (void)node, (void)flags;
    return 0x13;
}

DWORD WINAPI CM_Disable_DevNode(DWORD node, DWORD flags)
{
    (void)node, (void)flags;
    return 0x13;
}

DWORD WINAPI CM_Enable_DevNode(DWORD node, DWORD flags)
{
    (void)node, (void)flags;
    return 0x13;
}
