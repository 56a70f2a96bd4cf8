# Checks a built library's export table: exactly the EXPECTED names (a comma
# list). For a Windows DLL also its imports: with IMPORTS (a file of
# "dll function" lines, the pinned import table) exactly those, so that a new
# import is a deliberate change; without it, the system's own DLLs only.
#   cmake -DTOOL=<objdump or nm> -DLIBRARY=<file> -DEXPECTED=a,b -DWINDOWS=<bool>
#         [-DIMPORTS=<file>] -P CheckExports.cmake
cmake_minimum_required(VERSION 3.25)
string(REPLACE "," ";" expected "${EXPECTED}")
list(SORT expected)

if(WINDOWS)
    execute_process(COMMAND ${TOOL} -p ${LIBRARY}
                    OUTPUT_VARIABLE dump RESULT_VARIABLE status)
else()
    execute_process(COMMAND ${TOOL} -D --defined-only ${LIBRARY}
                    OUTPUT_VARIABLE dump RESULT_VARIABLE status)
endif()
if(NOT status EQUAL 0)
    message(FATAL_ERROR "${TOOL} failed on ${LIBRARY}: ${status}")
endif()
string(REPLACE ";" "\\;" dump "${dump}")
string(REPLACE "\n" ";" lines "${dump}")

set(exports "")
set(imports "")
set(imported "") # "dll function" for each imported function
set(dll "")
set(in_names OFF)
foreach(line IN LISTS lines)
    if(WINDOWS)
        # Export names follow the "[Ordinal/Name Pointer] Table" heading,
        # one "[ n] name" line each, up to the next blank line.
        if(line MATCHES "^\\[Ordinal/Name Pointer\\] Table")
            set(in_names ON)
        elseif(in_names AND line MATCHES "^[ \t]*\\[ *[0-9]+\\] (.+)$")
            string(STRIP "${CMAKE_MATCH_1}" name)
            # Newer objdump prefixes "+base[ n] hint ".
            if(name MATCHES "^\\+base\\[ *[0-9]+\\] +[0-9a-fA-F]+ +(.+)$")
                set(name "${CMAKE_MATCH_1}")
            endif()
            list(APPEND exports "${name}")
        elseif(in_names AND line MATCHES "^[ \t]*$")
            set(in_names OFF)
        endif()
        if(line MATCHES "DLL Name: *(.+)$")
            string(STRIP "${CMAKE_MATCH_1}" dll)
            string(TOLOWER "${dll}" dll)
            list(APPEND imports "${dll}")
        elseif(dll AND line MATCHES "^\t[0-9a-fA-F]+\t +[0-9]+ +([^ \t]+)$")
            # "<vma> <hint> <name>" rows under the DLL's name.
            list(APPEND imported "${dll} ${CMAKE_MATCH_1}")
        elseif(line MATCHES "^[ \t]*$" AND NOT line MATCHES "^\t")
            set(dll "")
        endif()
    elseif(line MATCHES "^[0-9a-fA-F]* *[TDBR] (.+)$")
        # Strong definitions only: weak ones (W, V) are template instances of
        # the C++ library's headers and the sanitizers' type records, which
        # every module may carry and which a host never looks up.
        set(name "${CMAKE_MATCH_1}")
        # Start and end markers of the ELF file itself.
        if(NOT name MATCHES "^(_init|_fini|_edata|_end|__bss_start)$")
            list(APPEND exports "${name}")
        endif()
    endif()
endforeach()
list(SORT exports)

if(NOT exports STREQUAL expected)
    string(REPLACE ";" "\n  " shown "${exports}")
    string(REPLACE ";" "\n  " wanted "${expected}")
    message(FATAL_ERROR "exports of ${LIBRARY}:\n  ${shown}\nexpected:\n  ${wanted}")
endif()

if(WINDOWS AND IMPORTS)
    file(STRINGS ${IMPORTS} pinned REGEX "^[^#]")
    list(SORT pinned)
    list(SORT imported)
    if(NOT imported STREQUAL pinned)
        set(added ${imported})
        list(REMOVE_ITEM added ${pinned})
        set(gone ${pinned})
        list(REMOVE_ITEM gone ${imported})
        string(REPLACE ";" "\n  " added "${added}")
        string(REPLACE ";" "\n  " gone "${gone}")
        message(FATAL_ERROR "imports of ${LIBRARY} differ from ${IMPORTS}\n"
                            "new:\n  ${added}\nno longer imported:\n  ${gone}")
    endif()
    list(LENGTH imported count)
    message(STATUS "imports: ${count} functions as pinned")
elseif(WINDOWS)
    set(system_dlls kernel32.dll msvcrt.dll user32.dll advapi32.dll ntdll.dll)
    if(NOT imports)
        message(FATAL_ERROR "no import table found in ${LIBRARY}")
    endif()
    foreach(dll IN LISTS imports)
        if(NOT dll IN_LIST system_dlls)
            message(FATAL_ERROR "${LIBRARY} imports ${dll}, not a system DLL")
        endif()
    endforeach()
    message(STATUS "imports: ${imports}")
endif()
message(STATUS "exports: ${exports}")
