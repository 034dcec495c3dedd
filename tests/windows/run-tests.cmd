@echo off
rem tarnpost @PROJECT_VERSION@ test kit: runs every row of the behaviour table
rem against the tarnpost.exe beside this file. The rows work in a scratch
rem folder under %TEMP% that goes when they end; options are passed on to
rem behaviour_test.exe (see README-tests.txt), for example
rem     run-tests.cmd --gtest_output=xml:report.xml
setlocal
set "KIT=%~dp0"
rem A folder of its own, never one that was there: it is removed at the end.
:name
set "SCRATCH=%TEMP%\tarnpost-tests-%RANDOM%%RANDOM%"
if exist "%SCRATCH%" goto name
mkdir "%SCRATCH%"
if not exist "%SCRATCH%\" (
    echo run-tests: cannot make the scratch folder %SCRATCH% 1>&2
    exit /b 2
)
rem Every folder the rows make lies below SCRATCH.
set "TEMP=%SCRATCH%"
set "TMP=%SCRATCH%"
"%KIT%behaviour_test.exe" %*
set STATUS=%ERRORLEVEL%
rem A program a row just ended may hold a file there a moment longer (under
rem Wine on a busy machine, many seconds): up to 30 tries, a second apart
rem (ping is the one pause that needs no console).
set TRIES=0
:remove
rmdir /s /q "%SCRATCH%" >nul 2>&1
if not exist "%SCRATCH%\" goto removed
set /a TRIES+=1
if %TRIES% lss 30 (
    ping -n 2 127.0.0.1 >nul 2>&1
    goto remove
)
echo run-tests: cannot remove the scratch folder %SCRATCH% 1>&2
:removed
exit /b %STATUS%
