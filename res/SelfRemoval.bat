@echo off
rem Removes the setup program that started it once it has exited: %1 is that program's process id,
rem %2 the name it set its own file aside under. Nothing else is deleted, so a new copy put at the
rem program's old path stays.
set /a tries = 0

:wait
tasklist /FI "PID eq %1" /NH 2>NUL | find "%1" >NUL
if %errorlevel% EQU 0 if %tries% LSS 60 ( set /a tries += 1 & timeout /t 1 /nobreak >NUL & goto wait )

rem A program that has just exited may hold on to its file for a moment longer.
:delete
del /f /q %2 >NUL 2>NUL
if exist %2 if %tries% LSS 60 ( set /a tries += 1 & timeout /t 1 /nobreak >NUL & goto delete )
del "%~f0" & exit