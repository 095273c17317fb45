@echo off
rem The program end to end, as an operator runs it: TZ62Editorsync.exe from a
rem folder of its own at the root of the system drive, its key and port typed into the window,
rem the service started, then over 127.0.0.1 with tzclient.exe: ping, the
rem versions, a push that replaces a file and keeps a backup of the old one,
rem that push undone and the undo undone (tzclient undo), and a reload against the stand-in game server running as a process of its
rem own. Also a push to a read-only file, which must give a defined answer and
rem leave the file and its backups whole, the same for a file the game server
rem holds open, and a stop and start on the same port
rem right after serving, and the panel's newest line past 40,000 characters.
rem From an elevated cmd, the reload once more from the tool started without
rem administrator rights (tz_run_unelevated.exe) against the elevated game
rem server.
rem Once the service answers, every step runs whatever became of the others
rem before it, and each is reported ("passed: ..." or "FAILED: ..."), so one
rem run on Windows answers everything.
rem Everything is made in the work folder and removed at the end, also
rem after a failure. Its result goes to the file named by %CHECK_RESULT%:
rem 0 passed, 3 skipped, anything else failed (a result file, since Wine's
rem cmd loses the exit code of a batch file started with call).
setlocal EnableExtensions DisableDelayedExpansion
set "HERE=%~1"
if not defined TZ_FIREWALL_RULE set "TZ_FIREWALL_RULE=TZ62Editorsync tests"
set "DRIVER=%HERE%window_driver.exe"
set "CLIENT=%HERE%tzclient.exe"
rem On the system drive an installation must lie under a top-level folder whose
rem name begins with MirServer.
set "WORK=%SystemDrive%\MirServerTz62Check%RANDOM%%RANDOM%"
set "VER=%WORK%\MirServer"
set "KEY=check-key-%RANDOM%%RANDOM%"
rem A port that binds now: a random one may lie in a range Hyper-V, WSL 2 or
rem Docker reserve, which netstat does not show.
set "PORT="
set "PORT_FILE=%TEMP%\tz62-port-%RANDOM%%RANDOM%.txt"
"%HERE%tz_free_port.exe" > "%PORT_FILE%"
set /p PORT=< "%PORT_FILE%"
del /q "%PORT_FILE%" >nul 2>&1
if not defined PORT set /a PORT=42000 + %RANDOM% %% 20000
set /a FAILURES=0
set "FAILED_STEPS="
set "STEP=preparing"
set "WINDOW_STATE=%TEMP%\tz62-window-%RANDOM%%RANDOM%.txt"

rem The driver finds the program's window by its class: another copy that
rem runs here would be driven in place of ours.
call :window_state
if "%WINDOW%"=="1" goto :window_open

call :checks
set "CODE=%ERRORLEVEL%"
call :cleanup
if errorlevel 1 set "CODE=1"
if not "%CODE%"=="0" if "%FAILURES%"=="0" echo service-check failed at: %STEP%
if not "%FAILURES%"=="0" echo service-check: steps failed: %FAILURES%%FAILED_STEPS%
if "%CODE%"=="0" echo service-check: every step passed
del /q "%WINDOW_STATE%" >nul 2>&1
> "%CHECK_RESULT%" echo %CODE%
exit /b %CODE%

:window_open
echo skipped: a TZ62Editorsync window is open already; close it and run again
del /q "%WINDOW_STATE%" >nul 2>&1
> "%CHECK_RESULT%" echo 3
exit /b 3

rem WINDOW becomes 1 while a window of the program is open, else 0. Through a
rem file: Wine's cmd runs what follows "|" and "&&" as one.
:window_state
set "WINDOW="
"%DRIVER%" window-exists > "%WINDOW_STATE%" 2>nul
set /p WINDOW=< "%WINDOW_STATE%"
exit /b 0


:checks
rem Each step is checked on its own line: Wine's builtin commands leave the
rem error level as it was, and its fc finds every pair of files equal, so
rem contents are compared as the text of their one line.
set "STEP=work folder %WORK%"
mkdir "%VER%\Mir200\Envir" >nul 2>&1
if not exist "%VER%\Mir200\Envir\" exit /b 1
rem The program in a folder beside the installation, never above it.
mkdir "%WORK%\tool" >nul 2>&1
copy /y "%HERE%TZ62Editorsync.exe" "%WORK%\tool\" >nul
if not exist "%WORK%\tool\TZ62Editorsync.exe" exit /b 1
rem The copy gets a firewall rule of its own, as the runner gives the others.
if "%ELEVATED%"=="yes" netsh advfirewall firewall add rule name="%TZ_FIREWALL_RULE%" dir=in action=allow protocol=TCP remoteip=127.0.0.1 program="%WORK%\tool\TZ62Editorsync.exe" enable=yes >nul 2>&1
rem An installation is known by its Config.ini.
> "%VER%\Config.ini" echo [Server]
> "%VER%\Mir200\Envir\QuestDiary.txt" echo old content
> "%WORK%\new.txt" echo new content
> "%WORK%\old.txt" echo old content
> "%WORK%\held.txt" echo held content

set "STEP=starting the program"
start "" "%WORK%\tool\TZ62Editorsync.exe"
call :start_service
if errorlevel 1 exit /b 1

set "STEP=ping on port %PORT%"
call :await_ping
if errorlevel 1 exit /b 1

for %%s in (versions other_key push read_only held_open panel reload stop_start unelevated) do call :step %%s
if not "%FAILURES%"=="0" exit /b 1
exit /b 0

rem Runs the step :step_%1 and reports it; a failure is counted and the
rem next step runs all the same.
:step
set "STEP=%~1"
call :step_%~1
if not errorlevel 1 (
  echo passed: %~1
  exit /b 0
)
call :count_failure
exit /b 0

rem STEP names what failed last within the step.
:count_failure
echo FAILED: %STEP%
set /a FAILURES+=1
set "FAILED_STEPS=%FAILED_STEPS% [%STEP%]"
exit /b 0

:step_versions
set "STEP=versions"
"%CLIENT%" --port %PORT% --key %KEY% versions
if not "%ERRORLEVEL%"=="0" exit /b 1
exit /b 0

:step_other_key
set "STEP=a request signed with another key"
"%CLIENT%" --port %PORT% --key other-%KEY% ping
if not "%ERRORLEVEL%"=="1" exit /b 1
exit /b 0

:step_push
set "STEP=push"
"%CLIENT%" --port %PORT% --key %KEY% push "%VER%" Mir200\Envir\QuestDiary.txt "%WORK%\new.txt"
if not "%ERRORLEVEL%"=="0" exit /b 1
set "STEP=push: the new content in place"
call :first_line "%VER%\Mir200\Envir\QuestDiary.txt"
if not "%LINE%"=="new content" exit /b 1
set "STEP=push: one backup, holding the old content"
set /a BACKUPS=0
set "BACKUP="
for /r "%VER%" %%f in (QuestDiary_*.txt) do (
  set /a BACKUPS+=1
  set "BACKUP=%%f"
)
echo backups: %BACKUPS%
if not "%BACKUPS%"=="1" exit /b 1
echo backup: %BACKUP%
call :first_line "%BACKUP%"
if not "%LINE%"=="old content" exit /b 1

set "STEP=push refused: payload under another key, the file unchanged"
"%CLIENT%" --port %PORT% --key %KEY% --payload-key other push "%VER%" Mir200\Envir\QuestDiary.txt "%WORK%\old.txt"
if not "%ERRORLEVEL%"=="1" exit /b 1
call :first_line "%VER%\Mir200\Envir\QuestDiary.txt"
if not "%LINE%"=="new content" exit /b 1

rem The push undone with one command, as an editor would: the old content is
rem back, the pushed one kept as a backup; undone once more, the pushed one is
rem back in turn.
set "STEP=undo: the old content back"
"%CLIENT%" --port %PORT% --key %KEY% undo "%VER%" Mir200\Envir\QuestDiary.txt
if not "%ERRORLEVEL%"=="0" exit /b 1
call :first_line "%VER%\Mir200\Envir\QuestDiary.txt"
if not "%LINE%"=="old content" exit /b 1
set "STEP=undo of the undo: the pushed content back"
"%CLIENT%" --port %PORT% --key %KEY% undo "%VER%" Mir200\Envir\QuestDiary.txt
if not "%ERRORLEVEL%"=="0" exit /b 1
call :first_line "%VER%\Mir200\Envir\QuestDiary.txt"
if not "%LINE%"=="new content" exit /b 1
exit /b 0

:step_read_only
set "STEP=push to a read-only file: a defined answer, the file and the backups whole"
attrib +r "%VER%\Mir200\Envir\QuestDiary.txt"
call :defined_push "%WORK%\old.txt" "old content" "read-only target"
set "CODE=%ERRORLEVEL%"
attrib -r "%VER%\Mir200\Envir\QuestDiary.txt"
if not "%CODE%"=="0" exit /b 1
exit /b 0

:step_held_open
rem A file the game server holds open: another defined answer, with the file
rem and the backups whole. The stand-in holding it is found by the reload
rem below as this version's game server.
set "STEP=push to a file the game server holds open"
copy /y "%HERE%m2server_standin.exe" "%VER%\Mir200\M2Server.exe" >nul
if not exist "%VER%\Mir200\M2Server.exe" exit /b 1
start "" "%VER%\Mir200\M2Server.exe" --log "%WORK%\commands.txt" --exit-after 60000 --hold "%VER%\Mir200\Envir\QuestDiary.txt"
ping -n 3 127.0.0.1 >nul
call :defined_push "%WORK%\held.txt" "held content" "held target"
if errorlevel 1 exit /b 1
exit /b 0

:step_panel
rem Past 40,000 characters of log the panel still shows the newest line: a
rem hundred refused reloads, each logging a path of over 500 characters.
set "STEP=the panel after more than 40,000 characters"
set "FILLER=xxxxxxxxxx"
for /l %%i in (1,1,6) do call set "FILLER=%%FILLER%%%%FILLER%%"
for /l %%i in (1000,1,1099) do "%CLIENT%" --port %PORT% --key %KEY% reload "Q:\%%i%FILLER%" x >nul 2>&1
set /a TRIES=0
:panel_again
"%DRIVER%" tail 1007 600 > "%WORK%\tail.txt"
find "Q:\1099x" "%WORK%\tail.txt" >nul
if not errorlevel 1 goto :panel_shown
set /a TRIES+=1
if %TRIES% GEQ 20 exit /b 1
ping -n 2 127.0.0.1 >nul
goto :panel_again
:panel_shown
"%DRIVER%" length 1007 > "%WORK%\length.txt"
set "LENGTH=0"
set /p LENGTH=< "%WORK%\length.txt"
echo panel: %LENGTH% characters, the newest line shown
if %LENGTH% LEQ 40000 exit /b 1
exit /b 0

:step_reload
set "STEP=reload"
rem A failed same-session attempt falls back to the bridge, which may wait
rem 40 s for its task: the client waits longer than that.
"%CLIENT%" --port %PORT% --key %KEY% --timeout 90000 reload "%VER%" QFunction > "%WORK%\reload.txt"
set "CODE=%ERRORLEVEL%"
type "%WORK%\reload.txt"
echo.
if "%PLATFORM%"=="wine" goto :reload_under_wine
if not "%CODE%"=="0" exit /b 1
set "STEP=reload: the item carried out"
find """failCount"":0" "%WORK%\reload.txt" >nul
if errorlevel 1 exit /b 1
find "QFunction" "%WORK%\commands.txt" >nul
if errorlevel 1 exit /b 1
exit /b 0

rem Wine can neither read another process's menu nor create a SYSTEM task, so
rem the item fails there; what is checked is that the service answered it, as
rem one failed item, well within the client's wait.
:reload_under_wine
echo reload: whether the item ran is not checked under Wine
set "STEP=reload: one answered item"
find """success"":true,""successCount"":0,""failCount"":1" "%WORK%\reload.txt" >nul
if errorlevel 1 exit /b 1
exit /b 0

:step_stop_start
rem The port is free for the service again at once after it served requests.
set "STEP=stop and start again on port %PORT%"
"%DRIVER%" click 1003
if errorlevel 1 exit /b 1
call :await_no_answer
if errorlevel 1 exit /b 1
"%DRIVER%" click 1003
if errorlevel 1 exit /b 1
call :await_ping
if errorlevel 1 exit /b 1
exit /b 0

:step_unelevated
rem The game server elevated and the tool not, as after a double click: the
rem system holds back a window message from the tool to the game server. The
rem item must run or be answered as failed, and promptly: the tool, not being
rem an administrator, must not wait for a bridge it cannot start. Only from
rem an elevated cmd, which starts the game server elevated.
if not "%ELEVATED%"=="yes" (
  echo reload from an unelevated tool: not checked, since the cmd is not elevated
  exit /b 0
)
set "STEP=reload from an unelevated tool: closing the elevated one"
call :close_tool
if not "%WINDOW%"=="0" exit /b 1
start "" "%VER%\Mir200\M2Server.exe" --log "%WORK%\commands-unelevated.txt" --exit-after 60000
set "STEP=reload from an unelevated tool: starting it without administrator rights"
"%HERE%tz_run_unelevated.exe" "%WORK%\tool\TZ62Editorsync.exe"
if errorlevel 1 exit /b 1
call :start_service
if errorlevel 1 exit /b 1
call :await_ping
if errorlevel 1 exit /b 1
set "STEP=reload from an unelevated tool: answered within 25 s"
"%CLIENT%" --port %PORT% --key %KEY% --timeout 25000 reload "%VER%" QFunction > "%WORK%\reload-unelevated.txt"
set "CODE=%ERRORLEVEL%"
type "%WORK%\reload-unelevated.txt"
echo.
rem tzclient: 0 every item ran, 1 an item failed, 2 no answer.
if not "%CODE%"=="0" if not "%CODE%"=="1" exit /b 1
set "STEP=reload from an unelevated tool: run, or failed and not run"
find """successCount"":1,""failCount"":0" "%WORK%\reload-unelevated.txt" >nul
if not errorlevel 1 goto :unelevated_ran
find """successCount"":0,""failCount"":1" "%WORK%\reload-unelevated.txt" >nul
if errorlevel 1 exit /b 1
if "%PLATFORM%"=="wine" exit /b 0
find "QFunction" "%WORK%\commands-unelevated.txt" >nul 2>&1
if not errorlevel 1 exit /b 1
exit /b 0
:unelevated_ran
find "QFunction" "%WORK%\commands-unelevated.txt" >nul 2>&1
if errorlevel 1 exit /b 1
exit /b 0

rem Waits for the program's window, types the key and port into it and
rem presses start. Error level 1 when any of that fails.
:start_service
"%DRIVER%" wait-window 60000
if errorlevel 1 exit /b 1
"%DRIVER%" set-text 1005 %KEY%
if errorlevel 1 exit /b 1
"%DRIVER%" set-text 1002 %PORT%
if errorlevel 1 exit /b 1
"%DRIVER%" click 1003
if errorlevel 1 exit /b 1
exit /b 0

rem Pings until the service answers, for up to about half a minute.
:await_ping
set /a TRIES=0
:ping_again
"%CLIENT%" --port %PORT% --key %KEY% --timeout 5000 ping
if "%ERRORLEVEL%"=="0" exit /b 0
set /a TRIES+=1
if %TRIES% GEQ 30 exit /b 1
ping -n 2 127.0.0.1 >nul
goto :ping_again

rem Pings until the service no longer answers, for up to about ten seconds.
:await_no_answer
set /a TRIES=0
:silence_again
"%CLIENT%" --port %PORT% --key %KEY% --timeout 2000 ping >nul 2>&1
if not "%ERRORLEVEL%"=="0" exit /b 0
set /a TRIES+=1
if %TRIES% GEQ 10 exit /b 1
ping -n 2 127.0.0.1 >nul
goto :silence_again

rem Pushes the file %1, whose one line is %2, to QuestDiary.txt, where either
rem answer is defined: success with %2 in place, or a failure with the file as
rem it was. Either way every backup holds one whole earlier content. %3 names
rem the case in the output. Error level 1 when any of that does not hold.
:defined_push
call :first_line "%VER%\Mir200\Envir\QuestDiary.txt"
set "BEFORE=%LINE%"
"%CLIENT%" --port %PORT% --key %KEY% push "%VER%" Mir200\Envir\QuestDiary.txt "%~1"
set "PUSHED=%ERRORLEVEL%"
call :first_line "%VER%\Mir200\Envir\QuestDiary.txt"
echo %~3: client exit code %PUSHED%, the file held "%BEFORE%" and now holds "%LINE%"
if "%PUSHED%"=="0" if not "%LINE%"=="%~2" exit /b 1
if "%PUSHED%"=="1" if not "%LINE%"=="%BEFORE%" exit /b 1
if not "%PUSHED%"=="0" if not "%PUSHED%"=="1" exit /b 1
set "BROKEN="
for /r "%VER%" %%f in (QuestDiary_*.txt) do call :check_backup "%%f"
if defined BROKEN exit /b 1
exit /b 0

rem BROKEN is set when the backup %1 holds neither whole earlier content.
:check_backup
call :first_line "%~1"
echo backup %~nx1: "%LINE%"
if "%LINE%"=="old content" exit /b 0
if "%LINE%"=="new content" exit /b 0
set "BROKEN=1"
exit /b 0

rem LINE becomes the first line of the file %1 (empty when there is none).
:first_line
set "LINE="
if exist "%~1" set /p LINE=< "%~1"
exit /b 0

rem The window asks before it closes; then the program is gone with its port.
rem WINDOW is 0 afterwards unless it stayed open for about a minute.
:close_tool
call :window_state
if not "%WINDOW%"=="1" exit /b 0
"%DRIVER%" close >nul
"%DRIVER%" answer yes >nul
set /a WAITED=0
:window_closing
call :window_state
if "%WINDOW%"=="0" exit /b 0
set /a WAITED+=1
if %WAITED% GEQ 30 exit /b 0
ping -n 2 127.0.0.1 >nul
goto :window_closing

:cleanup
call :close_tool
if "%ELEVATED%"=="yes" netsh advfirewall firewall delete rule name="%TZ_FIREWALL_RULE%" program="%WORK%\tool\TZ62Editorsync.exe" >nul 2>&1
rem The stand-in game server closes by itself within a minute; its file can
rem go only then.
set /a WAITED=0
:remove_again
rd /s /q "%WORK%" >nul 2>&1
if not exist "%WORK%\" exit /b 0
set /a WAITED+=1
if %WAITED% GEQ 40 (
  echo could not remove %WORK%
  exit /b 1
)
ping -n 3 127.0.0.1 >nul
goto :remove_again
