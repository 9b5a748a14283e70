@echo off
rem Dump hook of the salvor collector on Windows (<dumpHook> in its
rem configuration, for example C:\salvor\hooks\compress-complete.cmd):
rem compresses every complete dump into <dump>.zip beside it, and removes
rem the original once the archive reads back whole. Any other outcome is
rem left alone. What goes wrong is said on standard error, whose first
rem line the collector logs with the exit status.
rem
rem Needs tar.exe, which Windows 10 (version 1803) and later ship in
rem System32, and the variables the collector gives every hook run:
rem SALVOR_OUTCOME and SALVOR_FILE here (also SALVOR_HOST, SALVOR_BYTES,
rem SALVOR_SIZE, SALVOR_HOLE_BYTES, SALVOR_STARTED, SALVOR_ENDED,
rem SALVOR_REASON and SALVOR_RECORD, the dump's journal line). No
rem parenthesised blocks: a path with a parenthesis in it would end one;
rem "if errorlevel" rather than "||", which not every cmd.exe gets right.
setlocal EnableExtensions DisableDelayedExpansion

if not "%SALVOR_OUTCOME%"=="complete" exit /b 0
if not defined SALVOR_FILE goto noFile
if not exist "%SALVOR_FILE%" goto noFile
if exist "%SALVOR_FILE%\*" goto noFile
tar.exe --version >nul 2>&1
if errorlevel 1 goto noTar

for %%F in ("%SALVOR_FILE%") do set "dumpDir=%%~dpF"
for %%F in ("%SALVOR_FILE%") do set "dumpName=%%~nxF"
rem Written under a temporary name first: a reader never sees half an
rem archive. The name ends in .zip, which tells -a the format.
set "part=%SALVOR_FILE%.part.zip"
del /f /q "%part%" >nul 2>&1
tar.exe -a -c -f "%part%" -C "%dumpDir%." "%dumpName%" >nul 2>&1
if errorlevel 1 goto failed
tar.exe -t -f "%part%" >nul 2>&1
if errorlevel 1 goto failed
move /y "%part%" "%SALVOR_FILE%.zip" >nul
if errorlevel 1 goto failed
del /f /q "%SALVOR_FILE%"
if exist "%SALVOR_FILE%" goto notRemoved
exit /b 0

:noFile
>&2 echo compress-complete: no dump file to compress (SALVOR_FILE=%SALVOR_FILE%)
exit /b 1

:noTar
>&2 echo compress-complete: tar.exe is not available (Windows 10 version 1803 or later ships it)
exit /b 1

:notRemoved
>&2 echo compress-complete: %SALVOR_FILE% is compressed but could not be removed
exit /b 1

:failed
del /f /q "%part%" >nul 2>&1
>&2 echo compress-complete: compressing %SALVOR_FILE% failed
exit /b 1
