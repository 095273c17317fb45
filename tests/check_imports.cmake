cmake_minimum_required(VERSION 3.20)
# Fails when the program imports, directly, a library that is not a KnownDLL:
# such a library would be looked for in the program's own folder first, before
# main() can limit the search (cmake/delay_imports.cmake).
# Run with -DOBJDUMP=<objdump> -DPROGRAM=<exe>.
set(known_dlls advapi32 clbcatq combase comdlg32 coml2 difxapi gdi32 gdiplus imagehlp imm32 kernel32 msctf msvcrt
    normaliz nsi ole32 oleaut32 psapi rpcrt4 sechost setupapi shcore shell32 shlwapi user32 wldap32 ws2_32)
execute_process(COMMAND "${OBJDUMP}" -p "${PROGRAM}" OUTPUT_VARIABLE headers RESULT_VARIABLE failed)
if(failed)
  message(FATAL_ERROR "cannot read ${PROGRAM}")
endif()
string(REGEX MATCHALL "DLL Name: [^\n]+" names "${headers}")
set(foreign "")
foreach(entry IN LISTS names)
  string(REGEX REPLACE "DLL Name: ([^.]+)\\.[dD][lL][lL].*" "\\1" dll "${entry}")
  string(TOLOWER "${dll}" dll)
  if(NOT dll IN_LIST known_dlls)
    list(APPEND foreign "${dll}")
  endif()
endforeach()
if(NOT names)
  message(FATAL_ERROR "no imports found in ${PROGRAM}")
endif()
if(foreign)
  message(FATAL_ERROR "imported at start but not KnownDLLs: ${foreign}")
endif()
message(STATUS "imports at start: ${names}")
