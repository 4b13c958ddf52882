@ echo off 
set /a numTries = 0

:loop
tasklist /FI "imagename eq %3" 2>NUL | find /I /N "%3" >NUL
if %numTries% LSS 10 (if %errorlevel% EQU 0 ( goto AppRunning ) else ( goto DeletePath ) )else ( exit )

:AppRunning
timeout /t 1 /nobreak
set /a numTries += 1 
goto loop

:DeletePath
if %1 equ 0 ( del /q %2 ) else ( rd /s /q %2 )
goto DeleteSelf 

:DeleteSelf
del "%~f0"
exit