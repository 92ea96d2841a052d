@echo off
rem Orvello @VERSION@: removes the startup task and "%ProgramFiles%\Orvello".
rem Exit codes: 0 removed, or nothing was left to remove; 2 not run as
rem administrator; 5 the folder could not be removed (the task, if any, was
rem removed: run it again later); 6 the task could not be removed.
setlocal EnableExtensions

set "TASK=Orvello"
set "PF=%ProgramFiles%"
if defined ProgramW6432 set "PF=%ProgramW6432%"
set "DEST=%PF%\Orvello"
rem Tools by their full path, as in install.cmd.
set "SYS=%SystemRoot%\System32"
if exist "%SystemRoot%\Sysnative\" set "SYS=%SystemRoot%\Sysnative"

call :elevated
if errorlevel 1 (
    echo Orvello: uninstall.cmd must be run as an administrator.
    echo Right-click uninstall.cmd and choose "Run as administrator", or start it from an elevated command prompt.
    exit /b 2
)

rem A running orvello.exe can't be deleted: end it first. It fails when the
rem task is not running or not registered, which is fine here.
"%SYS%\schtasks.exe" /End /TN "%TASK%" >nul 2>&1
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

rem The whole folder, whatever it holds. An ended instance takes a moment to
rem let go of orvello.exe: try for about five seconds (ping waits a second;
rem timeout.exe refuses to run without a console's input).
set "TRIES=0"
:remove
if not exist "%DEST%" goto removed
set "HADDIR=1"
rmdir /S /Q "%DEST%" >nul 2>&1
if not exist "%DEST%" goto removed
set /A TRIES+=1
if %TRIES% GEQ 6 (
    echo Orvello: could not remove "%DEST%"; orvello.exe may still be running. Run uninstall.cmd again in a few minutes.
    exit /b 5
)
"%SYS%\ping.exe" -n 2 127.0.0.1 >nul 2>&1
goto remove

:removed
if "%HADTASK%%HADDIR%"=="00" (
    echo Orvello: neither the task "%TASK%" nor "%DEST%" is here; nothing to remove.
    exit /b 0
)
set "DONE=the task "%TASK%" and "%DEST%""
if "%HADTASK%"=="0" set "DONE="%DEST%" (the task "%TASK%" was not registered)"
if "%HADDIR%"=="0" set "DONE=the task "%TASK%" ("%DEST%" was not there)"
echo Orvello: removed %DONE%.
exit /b 0

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

:task_exists
"%SYS%\schtasks.exe" /Query /TN "%TASK%" /FO LIST 2>nul | "%SYS%\find.exe" "\%TASK%" >nul
if not errorlevel 1 exit /b 0
if exist "%SYS%\Tasks\%TASK%" exit /b 0
exit /b 1
