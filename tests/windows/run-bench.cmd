@echo off
rem Runs the benchmarks (pushes, pings, versions) of TZ62Editorsync and writes
rem their figures to tz62-bench-report.txt beside itself. Its arguments go to
rem tz_bench.exe, such as --rounds 5 --seconds 4. Figures, not tests: nothing
rem here fails on a time.
setlocal EnableExtensions DisableDelayedExpansion
set "HERE=%~dp0"
set "REPORT=%HERE%tz62-bench-report.txt"
> "%REPORT%" echo TZ62Editorsync benchmarks
>>"%REPORT%" echo started: %DATE% %TIME%
>>"%REPORT%" ver
>>"%REPORT%" echo processors: %NUMBER_OF_PROCESSORS% %PROCESSOR_IDENTIFIER%
"%HERE%bench\tz_bench.exe" %* >>"%REPORT%" 2>&1
>>"%REPORT%" echo finished: %DATE% %TIME%
type "%REPORT%"
echo report: %REPORT%
