# Delay-loaded system libraries for the Windows build.
#
# A library the executable imports directly is resolved by the loader before
# main runs, in the standard search order, which begins with the program's own
# folder. Only KnownDLLs are safe from that: a user who can write beside the
# program could plant any other one there. main() limits the search to
# System32 (SetDefaultDllDirectories) first thing, so the libraries below are
# bound only when first called, and then only from System32.
#
# For each name, a delay-import library is made at configure time from the
# functions MinGW's own import library lists (GNU ld has no /DELAYLOAD, but
# dlltool makes such libraries), and an imported target of the same name takes
# the plain name's place wherever the build links it. The helper that binds
# them, __delayLoadHelper2, comes with MinGW's runtime.
function(tz_delay_import_libraries)
  get_filename_component(tool_dir "${CMAKE_CXX_COMPILER}" DIRECTORY)
  find_program(TZ_DLLTOOL NAMES x86_64-w64-mingw32-dlltool HINTS "${tool_dir}" REQUIRED)
  set(out_dir "${CMAKE_BINARY_DIR}/delayimp")
  file(MAKE_DIRECTORY "${out_dir}")
  foreach(name IN LISTS ARGN)
    find_library(TZ_IMPORT_${name} NAMES "lib${name}.a" REQUIRED NO_CACHE)
    execute_process(COMMAND "${CMAKE_NM}" "${TZ_IMPORT_${name}}" OUTPUT_VARIABLE listing
                    RESULT_VARIABLE failed ERROR_QUIET)
    if(failed)
      message(FATAL_ERROR "cannot list ${TZ_IMPORT_${name}}")
    endif()
    string(REGEX MATCHALL " I __imp_[A-Za-z0-9_@]+" imports "${listing}")
    list(TRANSFORM imports REPLACE " I __imp_" "")
    list(REMOVE_DUPLICATES imports)
    list(SORT imports)
    list(JOIN imports "\n" exports)
    file(WRITE "${out_dir}/${name}.def" "LIBRARY ${name}.dll\nEXPORTS\n${exports}\n")
    set(library "${out_dir}/lib${name}_delay.a")
    execute_process(COMMAND "${TZ_DLLTOOL}" --input-def "${out_dir}/${name}.def" --dllname "${name}.dll"
                            --output-delaylib "${library}" RESULT_VARIABLE failed)
    if(failed OR NOT EXISTS "${library}")
      message(FATAL_ERROR "dlltool could not make the delay-import library for ${name}")
    endif()
    add_library(${name} STATIC IMPORTED GLOBAL)
    set_target_properties(${name} PROPERTIES IMPORTED_LOCATION "${library}")
  endforeach()
endfunction()
