@echo off
rem SPDX-FileCopyrightText: 2026 The Orvello authors
rem SPDX-License-Identifier: MIT
rem Orvello @VERSION@: copies orvello.exe to "%ProgramFiles%\Orvello" and
rem registers the task that runs it at every start and resume of Windows.
rem Exit codes: 0 installed, 2 not run as administrator, 3 task already
rem registered, 4 package incomplete or inside the install folder, 5 copy
rem failed, 6 task not registered, 7 the install folder is unknown (no
rem Program Files) or could not be cleared, made or given permissions that
rem only administrators can write, 8 Orvello was installed by its MSI.
setlocal EnableExtensions

set "TASK=Orvello"
set "PKG=%~dp0"
rem The task runs the 64-bit program from the 64-bit Program Files, even if
rem this script was started from a 32-bit prompt.
set "PF=%ProgramFiles%"
if defined ProgramW6432 set "PF=%ProgramW6432%"
set "DEST=%PF%\Orvello"
rem Every tool by its full path: cmd looks in the current folder before PATH,
rem and this script may be started from a folder others can write to. A
rem 32-bit prompt sees SysWOW64 as System32; Sysnative reaches the real one.
set "SYS=%SystemRoot%\System32"
if exist "%SystemRoot%\Sysnative\cmd.exe" set "SYS=%SystemRoot%\Sysnative"

rem Without Program Files the folder would be "\Orvello" on the current drive,
rem which is replaced below.
rem "defined" first: with PF undefined, real cmd.exe reads the substring
rem test below as two undefined variables and aborts on a syntax error.
if not defined PF goto no_program_files
if not "%PF:~1,2%"==":\" goto no_program_files

call :elevated
if errorlevel 1 (
    echo Orvello: install.cmd must be run as an administrator.
    echo Right-click install.cmd and choose "Run as administrator", or start it from an elevated command prompt.
    exit /b 2
)

for %%F in (orvello.exe orvello-task.xml) do (
    if not exist "%PKG%%%F" (
        echo Orvello: %%F is missing beside install.cmd; extract the whole package and try again.
        exit /b 4
    )
)

rem The install folder is replaced below: the package must lie elsewhere.
set "OUTSIDE=%PKG%"
call set "OUTSIDE=%%OUTSIDE:%DEST%\=%%"
if not "%OUTSIDE%"=="%PKG%" (
    echo Orvello: the package lies in "%DEST%", which install.cmd replaces; extract it elsewhere and try again.
    exit /b 4
)

call :msi_installed
if not errorlevel 1 (
    echo Orvello: Orvello is installed here from its MSI package; nothing was changed.
    echo Repair, upgrade or remove it with msiexec or in Settings, Apps ^(Add or Remove Programs^).
    exit /b 8
)

call :task_exists
if not errorlevel 1 (
    echo Orvello: the task "%TASK%" is already registered; nothing was changed.
    echo To reinstall, run uninstall.cmd first.
    exit /b 3
)

rem SYSTEM runs what this folder holds at every start. A folder found here
rem was made by someone else, with whatever permissions and files they gave
rem it: start from a new one that holds only our program.
if exist "%DEST%" (
    rmdir /S /Q "%DEST%" >nul 2>&1
    if exist "%DEST%" del /F /Q /A "%DEST%" >nul 2>&1
)
if exist "%DEST%" (
    echo Orvello: could not remove the existing "%DEST%" and what it holds; nothing was installed.
    exit /b 7
)
mkdir "%DEST%" >nul 2>&1
if not exist "%DEST%\" (
    echo Orvello: could not create "%DEST%"; nothing was installed.
    exit /b 7
)
rem Program Files' inherited permissions (only administrators, SYSTEM and
rem TrustedInstaller may write), owned by the Administrators group.
"%SYS%\icacls.exe" "%DEST%" /reset /T /Q >nul 2>&1
if not "%errorlevel%"=="0" goto insecure
"%SYS%\icacls.exe" "%DEST%" /setowner *S-1-5-32-544 /T /Q >nul 2>&1
if not "%errorlevel%"=="0" goto insecure

copy /Y "%PKG%orvello.exe" "%DEST%\orvello.exe" >nul
if errorlevel 1 (
    echo Orvello: could not copy orvello.exe to "%DEST%".
    exit /b 5
)

"%SYS%\schtasks.exe" /Create /TN "%TASK%" /XML "%PKG%orvello-task.xml" >nul
if errorlevel 1 (
    echo Orvello: schtasks could not register the task "%TASK%"; orvello.exe was left in "%DEST%".
    exit /b 6
)

echo Orvello: installed "%DEST%\orvello.exe" and registered the task "%TASK%".
echo It runs at every start and resume of Windows; to run it now: schtasks /Run /TN "%TASK%"
exit /b 0

:insecure
echo Orvello: icacls could not give "%DEST%" Program Files' permissions and the Administrators group as owner; nothing was installed.
rmdir /S /Q "%DEST%" >nul 2>&1
exit /b 7

:no_program_files
echo Orvello: neither ProgramW6432 nor ProgramFiles names a folder; nothing was installed.
exit /b 7

rem 0 when this prompt has administrator rights. fltmc answers only an
rem elevated administrator and is part of every Windows since Vista; where
rem it is missing, net session answers the same question. Both compared
rem with 0: a refusal can be a negative code (0x80070005).
:elevated
if not exist "%SYS%\fltmc.exe" goto elevated_net
"%SYS%\fltmc.exe" >nul 2>&1
if "%errorlevel%"=="0" exit /b 0
exit /b 1
:elevated_net
"%SYS%\net.exe" session >nul 2>&1
if "%errorlevel%"=="0" exit /b 0
exit /b 1

rem 0 when the MSI installed Orvello: any version registers the upgrade code
rem (packed, as Windows Installer writes it), this one its product code's
rem uninstall entry.
:msi_installed
"%SYS%\reg.exe" query "HKLM\SOFTWARE\Classes\Installer\UpgradeCodes\@UPGRADECODE_PACKED@" >nul 2>&1
if not errorlevel 1 exit /b 0
"%SYS%\reg.exe" query "HKLM\SOFTWARE\Microsoft\Windows\CurrentVersion\Uninstall\@PRODUCTCODE@" >nul 2>&1
if not errorlevel 1 exit /b 0
exit /b 1

rem 0 when the task is registered: schtasks /Query lists it (as \Orvello), or the task
rem store holds its file (for a schtasks that cannot list tasks).
:task_exists
"%SYS%\schtasks.exe" /Query /TN "%TASK%" /FO LIST 2>nul | "%SYS%\find.exe" "\%TASK%" >nul
if not errorlevel 1 exit /b 0
if exist "%SYS%\Tasks\%TASK%" exit /b 0
exit /b 1
