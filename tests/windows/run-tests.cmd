@echo off
rem tarnpost @PROJECT_VERSION@ test kit: runs every row of the behaviour table
rem against the tarnpost.exe beside this file. The rows work in a scratch
rem folder under %TEMP% that goes when they end; options are passed on to
rem behaviour_test.exe (see README-tests.txt), for example
rem     run-tests.cmd --gtest_output=xml:report.xml
setlocal
rem GoogleTest would answer these with its own help and "unknown option".
if "%~1"=="--help" goto help
if "%~1"=="/?" goto help
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
rem Every program a row started has ended, so nothing of the run holds a
rem file there. Another program may (a virus scanner that looks at a new
rem file): only then a few more tries, a second apart (ping is the one pause
rem that needs no console). A folder left behind fails the run.
set TRIES=0
:remove
rmdir /s /q "%SCRATCH%" >nul 2>&1
if not exist "%SCRATCH%\" exit /b %STATUS%
set /a TRIES+=1
if %TRIES% lss 5 (
    ping -n 2 127.0.0.1 >nul 2>&1
    goto remove
)
echo run-tests: cannot remove the scratch folder %SCRATCH% 1>&2
if %STATUS% equ 0 set STATUS=1
exit /b %STATUS%
:help
echo Runs every row of tarnpost's behaviour table against the tarnpost.exe
echo beside this file, with a stand-in for TARN, in a scratch folder under
echo %%TEMP%% that is removed at the end. More in README-tests.txt.
echo.
echo   run-tests.cmd [OPTION...]
echo.
echo   --gtest_filter=*/NAME      only the row NAME, e.g. --gtest_filter=*/NoReceiver
echo   --gtest_output=xml:FILE    also a report for a CI system
echo   --system-folders           also the rows that write TARN_Message.txt in the
echo                              Windows directory and a drive's root
echo   --full-disk=DIR            also the rows that need a full disk: DIR holds a
echo                              folder "disk" on a full disk and a folder "device"
echo                              whose TARN_Message.txt leads to a device
echo   Other options go to behaviour_test.exe (GoogleTest's options).
echo.
echo Exit status: 0 when every row that ran passed, 1 when a row failed, 2 when
echo the run did not start (TARN is running, an unknown option, no scratch folder).
echo A stand-in left behind by an interrupted run: tarn-receiver.exe --stop
exit /b 0
