@echo off
rem Orvello @VERSION@: removes the startup task and "%ProgramFiles%\Orvello".
rem Exit codes: 0 removed, 2 not run as administrator, 3 the task was not
rem registered (any program files left were still removed), 5 program
rem files could not be removed, 6 the task could not be removed.
setlocal EnableExtensions

set "TASK=Orvello"
set "PF=%ProgramFiles%"
if defined ProgramW6432 set "PF=%ProgramW6432%"
set "DEST=%PF%\Orvello"

call :elevated
if errorlevel 1 (
    echo Orvello: uninstall.cmd must be run as an administrator.
    echo Right-click uninstall.cmd and choose "Run as administrator", or start it from an elevated command prompt.
    exit /b 2
)

set "REGISTERED=1"
schtasks /Delete /TN "%TASK%" /F >nul 2>&1
if errorlevel 1 (
    call :task_exists
    if not errorlevel 1 (
        echo Orvello: schtasks could not remove the task "%TASK%"; nothing was removed.
        exit /b 6
    )
    set "REGISTERED=0"
)

if exist "%DEST%\orvello.exe" del /F /Q "%DEST%\orvello.exe" >nul 2>&1
if exist "%DEST%\orvello.exe" (
    echo Orvello: could not delete "%DEST%\orvello.exe"; it may be running. Try again in a few minutes.
    exit /b 5
)
if exist "%DEST%\" rmdir "%DEST%" >nul 2>&1

if "%REGISTERED%"=="0" (
    echo Orvello: the task "%TASK%" was not registered; program files, if any, were removed.
    exit /b 3
)
echo Orvello: removed the task "%TASK%" and "%DEST%".
exit /b 0

rem The same checks as in install.cmd.
:elevated
fltmc >nul 2>&1
set "RC=%errorlevel%"
if "%RC%"=="0" exit /b 0
if not "%RC%"=="9009" exit /b 1
net session >nul 2>&1
if "%errorlevel%"=="0" exit /b 0
exit /b 1

:task_exists
schtasks /Query /TN "%TASK%" /FO LIST 2>nul | find "\%TASK%" >nul
if not errorlevel 1 exit /b 0
set "STORE=%SystemRoot%\System32\Tasks"
if exist "%SystemRoot%\Sysnative\" set "STORE=%SystemRoot%\Sysnative\Tasks"
if exist "%STORE%\%TASK%" exit /b 0
exit /b 1
