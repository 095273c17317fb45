@echo off
rem Runs every Windows test of TZ62Editorsync from this folder, wherever it
rem was unpacked, and writes tz62-test-report.txt beside itself. The last
rem line printed is "N passed, M failed, K skipped".
rem Run it from an elevated cmd to include the checks that need an
rem administrator; a normal cmd skips them and says so.
setlocal EnableExtensions DisableDelayedExpansion
set "HERE=%~dp0"
set "TESTS=%HERE%tests"
set "REPORT=%HERE%tz62-test-report.txt"
set /a PASSED=0
set /a FAILED=0
set /a SKIPPED=0

rem Wine keeps its own settings key; a real Windows never has it.
set "PLATFORM=windows"
reg query "HKLM\Software\Wine" >nul 2>&1 && set "PLATFORM=wine"
set "ELEVATED=no"
rem fltmc answers only an administrator; "net session" would need the Server
rem service, which hardened game servers turn off.
fltmc >nul 2>&1 && set "ELEVATED=yes"
if "%PLATFORM%"=="wine" set "ELEVATED=yes"
rem The console code page, to put back after the update checks change it.
set "OLDCP="
for /f "tokens=2 delims=:" %%c in ('chcp') do set /a OLDCP=%%c
rem Without a console (Wine with its output in a pipe) there is none.
if "%OLDCP%"=="0" set "OLDCP="

> "%REPORT%" echo TZ62Editorsync test report
>>"%REPORT%" echo started: %DATE% %TIME%
>>"%REPORT%" echo platform: %PLATFORM%, elevated: %ELEVATED%, processor: %PROCESSOR_ARCHITECTURE%
>>"%REPORT%" ver
>>"%REPORT%" chcp
>>"%REPORT%" echo folder: %HERE%
echo TZ62Editorsync tests: platform %PLATFORM%, elevated %ELEVATED%

rem The service listens on all addresses, so Windows Defender Firewall would
rem ask about each program that runs one, and keep the answer as a rule. From
rem an elevated cmd a rule of ours for each program lets in 127.0.0.1 only,
rem which is all the tests use, and no question comes; all rules of that name
rem go at the end. service-check and tz_update_check do the same for the
rem copies they make.
set "TZ_FIREWALL_RULE=TZ62Editorsync tests"
if "%ELEVATED%"=="yes" for /r "%HERE%." %%f in (*.exe) do call :allow_loopback "%%f"

rem The rules, on their own: the same on every platform.
for %%s in (text_test json_test crypto_test gamedirs_core_test m2control_core_test m2control_rules_test app_core_test client_test service_core_test doc_test) do call :suite %%s
rem The release key is read from the source tree the build was made in.
call :suite update_core_test -PublicKey.ReleaseKeyIsTheCommittedPemWithCrlfLines
call :skip "update_core_test: PublicKey.ReleaseKeyIsTheCommittedPemWithCrlfLines" "reads src/update/release_public_key.pem from the build machine's source tree"

rem Through Win32, in folders of their own below the test programs.
call :suite gamedirs_win_test
rem FixedDrivesOnly needs the build prefix's T: drive, an optical drive there.
call :suite versions_win_test -VersionDiscovery.FixedDrivesOnly
call :skip "versions_win_test: VersionDiscovery.FixedDrivesOnly" "needs the build's Wine prefix, whose T: drive is an optical drive"
call :suite m2control_win_test
call :suite m2control_reload_test
call :suite app_win_test
call :suite service_win_test
call :suite file_endpoints_test
rem The update starts its helpers by their paths in the system folder; the
rem tests name the stand-ins by theirs. Wine has no PowerShell.
if "%PLATFORM%"=="wine" (
  call :suite update_install_test -SystemPowerShell.*
  call :skip "update_install_test: SystemPowerShell" "Wine has no PowerShell"
) else (
  call :suite update_install_test
)
call :skip update_win_test "needs the Python update host tests/update/https_host.py, Wine-only"

rem Under Wine the bridge puts its schtasks stand-in in place of the system's;
rem on Windows that folder belongs to TrustedInstaller, so there the cases that
rem need the stand-in are left out and the system's schtasks runs a real task.
if not "%ELEVATED%"=="yes" (
  call :skip m2control_bridge_test "needs an elevated cmd: run run-tests.cmd as administrator"
) else if "%PLATFORM%"=="wine" (
  call :suite m2control_bridge_test -BridgeTest.ForeignFoldersAreRefused:BridgeTest.ALooseFolderIsMovedAsideNeverAdopted:BridgeTest.SystemSchtasksRunsTheItem
  call :skip "m2control_bridge_test: ForeignFoldersAreRefused, ALooseFolderIsMovedAsideNeverAdopted" "need folders of another Unix user, a symbolic link and a mode-777 folder made before the run, Wine-only"
  call :skip "m2control_bridge_test: SystemSchtasksRunsTheItem" "Wine's schtasks cannot create a task"
) else (
  call :suite m2control_bridge_test "BridgeQuotingWin.*:BridgeFolderWin.*:BridgeLibraries.*:BridgeTest.WorkerResultFiles:BridgeTest.WorkerLogLines:BridgeTest.ModeCommandLines:BridgeTest.RefusedBeforeAnyTask:BridgeTest.OnlyTheSystemsSchtasksIsStarted:BridgeTest.TheLoaderAnswersItsOwnFailures:BridgeTest.ALooseFolderIsMovedAsideNeverAdopted:BridgeTest.NeedsAdministrator:BridgeTest.FailedPostFallsThroughToTheBridge:BridgeTest.SystemSchtasksRunsTheItem"
  call :skip "m2control_bridge_test: the cases with the schtasks stand-in" "they put it in place of System32\schtasks.exe, which only Wine allows"
)

rem The program itself, over loopback, with tzclient.
call :check service-check
rem The whole self-update from a Chinese folder, with the console in the
rem Chinese code page and in UTF-8.
call :update_check 936
call :update_check 65001

if "%ELEVATED%"=="yes" netsh advfirewall firewall delete rule name="%TZ_FIREWALL_RULE%" >nul 2>&1
>>"%REPORT%" echo finished: %DATE% %TIME%
>>"%REPORT%" echo %PASSED% passed, %FAILED% failed, %SKIPPED% skipped
echo report: %REPORT%
echo %PASSED% passed, %FAILED% failed, %SKIPPED% skipped
if not "%FAILED%"=="0" exit /b 1
exit /b 0

rem call :suite NAME [GTEST_FILTER]
:suite
set "NAME=%~1"
set "FILTER="
if not "%~2"=="" set "FILTER=--gtest_filter=%~2"
echo running %NAME%
>>"%REPORT%" echo.
>>"%REPORT%" echo ==== %NAME% %FILTER%
pushd "%TESTS%"
"%TESTS%\%NAME%.exe" %FILTER% >>"%REPORT%" 2>&1
set "CODE=%ERRORLEVEL%"
popd
goto :result

rem call :check NAME: a cmd check of this folder. It writes its result
rem into the file CHECK_RESULT: 0 passed, 3 skipped (its reason in the
rem report), anything else failed; no result at all is a failure.
:check
set "NAME=%~1"
echo running %NAME%
>>"%REPORT%" echo.
>>"%REPORT%" echo ==== %NAME%
set "CHECK_RESULT=%TEMP%\tz62-result-%RANDOM%%RANDOM%.txt"
del /q "%CHECK_RESULT%" >nul 2>&1
call "%HERE%%NAME%.cmd" "%HERE%" >>"%REPORT%" 2>&1
set "CODE=none"
if exist "%CHECK_RESULT%" set /p CODE=< "%CHECK_RESULT%"
del /q "%CHECK_RESULT%" >nul 2>&1
if "%CODE%"=="3" (
  set /a SKIPPED+=1
  echo skipped %NAME%: see the report
  >>"%REPORT%" echo ==== %NAME%: skipped
  exit /b 0
)
goto :result

rem call :update_check CODEPAGE: tz_update_check.exe with the console in
rem that code page; exit code 3 is a skip, its reason in the report.
:update_check
set "NAME=update-check, code page %~1"
echo running %NAME%
>>"%REPORT%" echo.
>>"%REPORT%" echo ==== %NAME%
chcp %~1 >nul
"%HERE%tz_update_check.exe" >>"%REPORT%" 2>&1
set "CODE=%ERRORLEVEL%"
if defined OLDCP chcp %OLDCP% >nul
if "%CODE%"=="3" (
  set /a SKIPPED+=1
  echo skipped %NAME%: see the report
  >>"%REPORT%" echo ==== %NAME%: skipped
  exit /b 0
)
goto :result

:result
if "%CODE%"=="0" (
  set /a PASSED+=1
  echo passed  %NAME%
  >>"%REPORT%" echo ==== %NAME%: passed
) else (
  set /a FAILED+=1
  echo FAILED  %NAME% [exit code %CODE%]
  >>"%REPORT%" echo ==== %NAME%: FAILED, exit code %CODE%
)
exit /b 0

rem call :skip NAME REASON
:skip
set /a SKIPPED+=1
echo skipped %~1: %~2
>>"%REPORT%" echo.
>>"%REPORT%" echo ==== %~1: skipped: %~2
exit /b 0

rem call :allow_loopback PROGRAM: a firewall rule named TZ_FIREWALL_RULE that
rem lets TCP from 127.0.0.1 in to PROGRAM. A failure only means the question.
:allow_loopback
netsh advfirewall firewall add rule name="%TZ_FIREWALL_RULE%" dir=in action=allow protocol=TCP remoteip=127.0.0.1 program="%~1" enable=yes >nul 2>&1
exit /b 0
