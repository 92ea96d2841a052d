// SPDX-FileCopyrightText: 2026 The Orvello authors
// SPDX-License-Identifier: MIT
// Windows implementation of the device-access seam: SetupAPI for device
// snapshots and properties, CfgMgr32 for device-node status and state.
#include <algorithm>
#include <cstdlib>
#include <iterator>

#include "device_access.h"
#include "seh_guard_win.h"

#include <delayimp.h>  // needs the Windows types first

namespace {

// CfgMgr32 is delay-loaded (it is not one of Windows' known DLLs, so a
// static import would be looked for beside the executable first, where
// anyone could plant a copy). Whatever the process's search order, the
// loader helper takes it from System32 only.
FARPROC WINAPI LoadFromSystem32(unsigned notification, PDelayLoadInfo info)
{
    if (notification != dliNotePreLoadLibrary) {
        return nullptr;
    }
    return reinterpret_cast<FARPROC>(LoadLibraryExA(info->szDll, nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32));
}

// The exit statuses of a process that Windows could not finish loading:
// its code never ran. STATUS_DLL_INIT_FAILED is how a start fails when the
// desktop heap is exhausted, as it can be for a moment at boot.
bool EndedWhileLoading(unsigned status)
{
    constexpr unsigned loaderFailures[] = {
        0xC0000135u,  // STATUS_DLL_NOT_FOUND
        0xC0000139u,  // STATUS_ENTRYPOINT_NOT_FOUND
        0xC0000142u,  // STATUS_DLL_INIT_FAILED
        0xC000007Bu,  // STATUS_INVALID_IMAGE_FORMAT
    };
    return std::find(std::begin(loaderFailures), std::end(loaderFailures), status) != std::end(loaderFailures);
}

}  // namespace

// Declared extern "C" by <delayimp.h>; read by the loader helper.
PfnDliHook __pfnDliNotifyHook2 = LoadFromSystem32;

namespace DeviceAccess {

HDEVINFO GetPresentDevices() noexcept
{
    return SetupDiGetClassDevsW(nullptr, nullptr, nullptr, DIGCF_PRESENT | DIGCF_ALLCLASSES);
}

bool EnumDeviceInfo(HDEVINFO devices, DWORD index, SP_DEVINFO_DATA* device) noexcept
{
    return SetupDiEnumDeviceInfo(devices, index, device) != FALSE;
}

bool GetHardwareIdProperty(HDEVINFO devices, SP_DEVINFO_DATA* device, BYTE* buffer, DWORD bufferSize,
                           DWORD* requiredSize) noexcept
{
    DWORD dataType = 0;
    return SetupDiGetDeviceRegistryPropertyW(devices, device, SPDRP_HARDWAREID, &dataType, buffer, bufferSize,
                                             requiredSize) != FALSE;
}

CONFIGRET GetDevNodeStatus(ULONG* status, ULONG* problem, DEVINST node) noexcept
{
    return CM_Get_DevNode_Status(status, problem, node, 0);
}

CONFIGRET DisableDevNode(DEVINST node) noexcept
{
    return CallDevNodeOrFail(CM_Disable_DevNode, node);
}

CONFIGRET EnableDevNode(DEVINST node) noexcept
{
    return CallDevNodeOrFail(CM_Enable_DevNode, node);
}

void DestroyDeviceInfoList(HDEVINFO devices) noexcept
{
    SetupDiDestroyDeviceInfoList(devices);
}

void* AllocBuffer(std::size_t bytes) noexcept
{
    return LocalAlloc(LPTR, bytes);
}

void FreeBuffer(void* buffer) noexcept
{
    LocalFree(buffer);
}

void Pause(DWORD milliseconds) noexcept
{
    Sleep(milliseconds);
}

DWORD LastError() noexcept
{
    return GetLastError();
}

bool RunCommandLine(const char* commandLine) noexcept
{
    const int status = std::system(commandLine);
    // -1: the interpreter could not be started (errno says why). Any other
    // exit status is the interpreter's own, which says nothing the check
    // acts on, unless Windows ended it while loading it, before it read
    // the line.
    return status != -1 && !EndedWhileLoading(static_cast<unsigned>(status));
}

}  // namespace DeviceAccess
