@echo off
rem Orvello @VERSION@: copies orvello.exe to "%ProgramFiles%\Orvello" and
rem registers the task that runs it at every start of Windows.
rem Exit codes: 0 installed, 2 not run as administrator, 3 task already
rem registered, 4 package incomplete, 5 copy failed, 6 task not registered.
setlocal EnableExtensions

set "TASK=Orvello"
set "PKG=%~dp0"
rem The task runs the 64-bit program from the 64-bit Program Files, even if
rem this script was started from a 32-bit prompt.
set "PF=%ProgramFiles%"
if defined ProgramW6432 set "PF=%ProgramW6432%"
set "DEST=%PF%\Orvello"

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

call :task_exists
if not errorlevel 1 (
    echo Orvello: the task "%TASK%" is already registered; nothing was changed.
    echo To reinstall, run uninstall.cmd first.
    exit /b 3
)

if not exist "%DEST%\" mkdir "%DEST%"
copy /Y "%PKG%orvello.exe" "%DEST%\orvello.exe" >nul
if errorlevel 1 (
    echo Orvello: could not copy orvello.exe to "%DEST%".
    exit /b 5
)

schtasks /Create /TN "%TASK%" /XML "%PKG%orvello-task.xml" >nul
if errorlevel 1 (
    echo Orvello: schtasks could not register the task "%TASK%"; orvello.exe was left in "%DEST%".
    exit /b 6
)

echo Orvello: installed "%DEST%\orvello.exe" and registered the task "%TASK%".
echo It runs at every start of Windows; to run it now: schtasks /Run /TN "%TASK%"
exit /b 0

rem 0 when this prompt has administrator rights. fltmc answers only an
rem elevated administrator and is part of every Windows since Vista; where
rem it is missing, net session answers the same question.
:elevated
fltmc >nul 2>&1
set "RC=%errorlevel%"
if "%RC%"=="0" exit /b 0
if not "%RC%"=="9009" exit /b 1
net session >nul 2>&1
if "%errorlevel%"=="0" exit /b 0
exit /b 1

rem 0 when the task is registered: schtasks /Query lists it (as \Orvello), or the task
rem store holds its file (for a schtasks that cannot list tasks).
:task_exists
schtasks /Query /TN "%TASK%" /FO LIST 2>nul | find "\%TASK%" >nul
if not errorlevel 1 exit /b 0
set "STORE=%SystemRoot%\System32\Tasks"
if exist "%SystemRoot%\Sysnative\" set "STORE=%SystemRoot%\Sysnative\Tasks"
if exist "%STORE%\%TASK%" exit /b 0
exit /b 1
