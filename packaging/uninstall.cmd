@echo off
rem SPDX-FileCopyrightText: 2026 The Orvello authors
rem SPDX-License-Identifier: MIT
rem Orvello @VERSION@: removes the startup task and "%ProgramFiles%\Orvello".
rem Exit codes: 0 removed, or nothing was left to remove; 2 not run as
rem administrator; 5 the folder could not be removed, or orvello.exe was
rem still running after 4 minutes (the task, if any, was removed: run it
rem again later); 6 the task could not be removed; 7 no Program Files, so
rem no install folder to act on; 8 Orvello was installed by its MSI.
setlocal EnableExtensions

set "TASK=Orvello"
set "PF=%ProgramFiles%"
if defined ProgramW6432 set "PF=%ProgramW6432%"
set "DEST=%PF%\Orvello"
rem Tools by their full path, as in install.cmd.
set "SYS=%SystemRoot%\System32"
if exist "%SystemRoot%\Sysnative\cmd.exe" set "SYS=%SystemRoot%\Sysnative"

rem Without Program Files the folder would be "\Orvello" on the current drive.
rem "defined" first: with PF undefined, real cmd.exe reads the substring
rem test below as two undefined variables and aborts on a syntax error.
if not defined PF goto no_program_files
if not "%PF:~1,2%"==":\" goto no_program_files

call :elevated
if errorlevel 1 (
    echo Orvello: uninstall.cmd must be run as an administrator.
    echo Right-click uninstall.cmd and choose "Run as administrator", or start it from an elevated command prompt.
    exit /b 2
)

call :msi_installed
if not errorlevel 1 (
    echo Orvello: Orvello is installed here from its MSI package; nothing was removed.
    echo Remove it with msiexec /x and its product code, or in Settings, Apps ^(Add or Remove Programs^).
    exit /b 8
)

rem The task goes first, so that no new run starts.
set "HADTASK=0"
set "HADDIR=0"
"%SYS%\schtasks.exe" /Delete /TN "%TASK%" /F >nul 2>&1
if errorlevel 1 (
    call :task_exists
    if not errorlevel 1 (
        echo Orvello: schtasks could not remove the task "%TASK%"; nothing was removed.
        exit /b 6
    )
) else (
    set "HADTASK=1"
)

rem A run that is under way is left to finish: ended between its disable and
rem its enable, it would leave a USB hub off until Windows restarts. Its
rem program file can't be deleted while it runs. A run lasts at most about
rem 200 s (20 s of pauses, 3 s for each of up to 60 restarts): wait up to
rem 4 minutes, 4 s at a time (ping waits a second per echo; timeout.exe
rem refuses to run without a console's input).
set "WAITS=0"
:wait
if not exist "%DEST%\orvello.exe" goto remove
set "HADDIR=1"
del /F /Q "%DEST%\orvello.exe" >nul 2>&1
if not exist "%DEST%\orvello.exe" goto remove
if "%WAITS%"=="0" echo Orvello: orvello.exe is running; waiting up to 4 minutes for its run to finish. It is not stopped: stopped between a disable and an enable, it would leave a USB hub off.
set /A WAITS+=1
if %WAITS% GEQ 60 (
    echo Orvello: orvello.exe is still running after 4 minutes and was left running; "%DEST%" was not removed. The task is removed, so it will not start again: run uninstall.cmd again later.
    exit /b 5
)
"%SYS%\ping.exe" -n 5 127.0.0.1 >nul 2>&1
goto wait

rem The whole folder, whatever it holds; a virus scanner may hold a file for
rem a moment: try for about five seconds.
:remove
set "TRIES=0"
:remove_again
if not exist "%DEST%" goto removed
set "HADDIR=1"
rmdir /S /Q "%DEST%" >nul 2>&1
if not exist "%DEST%" goto removed
set /A TRIES+=1
if %TRIES% GEQ 6 (
    echo Orvello: could not remove "%DEST%" or something in it; the task is removed. Run uninstall.cmd again later.
    exit /b 5
)
"%SYS%\ping.exe" -n 2 127.0.0.1 >nul 2>&1
goto remove_again

:removed
if "%WAITS%" NEQ "0" echo Orvello: orvello.exe finished its run.
if "%HADTASK%%HADDIR%"=="00" (
    echo Orvello: neither the task "%TASK%" nor "%DEST%" is here; nothing to remove.
    exit /b 0
)
set "DONE=the task "%TASK%" and "%DEST%""
if "%HADTASK%"=="0" set "DONE="%DEST%" (the task "%TASK%" was not registered)"
if "%HADDIR%"=="0" set "DONE=the task "%TASK%" ("%DEST%" was not there)"
echo Orvello: removed %DONE%.
exit /b 0

:no_program_files
echo Orvello: neither ProgramW6432 nor ProgramFiles names a folder; nothing was removed.
exit /b 7

rem The same checks as in install.cmd.
:elevated
if not exist "%SYS%\fltmc.exe" goto elevated_net
"%SYS%\fltmc.exe" >nul 2>&1
if "%errorlevel%"=="0" exit /b 0
exit /b 1
:elevated_net
"%SYS%\net.exe" session >nul 2>&1
if "%errorlevel%"=="0" exit /b 0
exit /b 1

:msi_installed
"%SYS%\reg.exe" query "HKLM\SOFTWARE\Classes\Installer\UpgradeCodes\@UPGRADECODE_PACKED@" >nul 2>&1
if not errorlevel 1 exit /b 0
"%SYS%\reg.exe" query "HKLM\SOFTWARE\Microsoft\Windows\CurrentVersion\Uninstall\@PRODUCTCODE@" >nul 2>&1
if not errorlevel 1 exit /b 0
exit /b 1

:task_exists
"%SYS%\schtasks.exe" /Query /TN "%TASK%" /FO LIST 2>nul | "%SYS%\find.exe" "\%TASK%" >nul
if not errorlevel 1 exit /b 0
if exist "%SYS%\Tasks\%TASK%" exit /b 0
exit /b 1
