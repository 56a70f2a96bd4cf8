# Checks the symbols ZIP: one debug file per shipped binary under the
# package's top folder, each the binary's debug link points at, and resolves a crash
# report's module offset the way the host guide shows: the export RVA of
# fnSearchWord in the shipped plugin, plus the image base, through addr2line
# with the debug file beside the stripped DLL, gives fnSearchWord in
# plugin-lexigrove.cpp at a line of its body.
#   cmake -DSYMBOLS=<zip> -DROOT=<unpacked package folder> -DUNZIP=<unzip>
#         -DOBJDUMP=<objdump> -DADDR2LINE=<addr2line> -DSOURCE=<plugin-lexigrove.cpp>
#         -DWORK=<folder> -P CheckSymbols.cmake
cmake_minimum_required(VERSION 3.25)
# Its top folder is the package's own, so that the two ZIPs unpacked in one
# place put each debug file beside its binary.
string(REGEX REPLACE "-symbols\\.zip$" "" top "${SYMBOLS}")
get_filename_component(top ${top} NAME)
set(binaries plugin-lexigrove.dll Skyloom.dll lexigrove-lookup.exe)

include(${CMAKE_CURRENT_LIST_DIR}/Zip.cmake)
set(debug_files ${binaries})
list(TRANSFORM debug_files APPEND ".debug")
check_zip_files(${SYMBOLS} ${top} ${debug_files})
unpack_zip(${SYMBOLS} ${WORK})

# The debug files hold the line tables; the binaries beside them, in a folder
# of their own, as a developer lays them out to read a crash report.
set(beside ${WORK}/beside)
file(MAKE_DIRECTORY ${beside})
foreach(binary IN LISTS binaries)
    execute_process(COMMAND ${OBJDUMP} -h ${WORK}/${top}/${binary}.debug OUTPUT_VARIABLE sections)
    foreach(section .debug_info .debug_line)
        if(NOT sections MATCHES " ${section} ")
            message(FATAL_ERROR "${binary}.debug has no ${section} section")
        endif()
    endforeach()
    file(COPY ${ROOT}/${binary} ${WORK}/${top}/${binary}.debug DESTINATION ${beside})
endforeach()

# The module offset of fnSearchWord: its RVA in the shipped DLL's export
# table (the name's ordinal, then that ordinal's row), as a crash report
# gives "plugin-lexigrove.dll+0x<offset>" for an address in it.
set(plugin ${beside}/plugin-lexigrove.dll)
execute_process(COMMAND ${OBJDUMP} -p ${plugin} OUTPUT_VARIABLE dump RESULT_VARIABLE status)
if(NOT status EQUAL 0)
    message(FATAL_ERROR "${OBJDUMP} -p failed on ${plugin}")
endif()
if(NOT dump MATCHES "\nImageBase[ \t]+([0-9a-fA-F]+)\n")
    message(FATAL_ERROR "no ImageBase in the header of ${plugin}")
endif()
set(image_base "0x${CMAKE_MATCH_1}")
if(NOT dump MATCHES "\n\t\\[ *([0-9]+)\\] fnSearchWord\n")
    message(FATAL_ERROR "fnSearchWord is not in the export table of ${plugin}")
endif()
set(ordinal ${CMAKE_MATCH_1})
if(NOT dump MATCHES "\n\t\\[ *${ordinal}\\] \\+base\\[ *[0-9]+\\] +([0-9a-fA-F]+) Export RVA")
    message(FATAL_ERROR "no export address for ordinal ${ordinal} in ${plugin}")
endif()
set(offset "0x${CMAKE_MATCH_1}")
math(EXPR address "${image_base} + ${offset}" OUTPUT_FORMAT HEXADECIMAL)

# addr2line on the stripped DLL finds its debug file through the debug link
# (name and CRC); -i lists the inlined frames, the last line is the function
# the address is in.
execute_process(COMMAND ${ADDR2LINE} -f -C -i -e ${plugin} ${address}
                OUTPUT_VARIABLE resolved RESULT_VARIABLE status)
if(NOT status EQUAL 0)
    message(FATAL_ERROR "${ADDR2LINE} failed on ${plugin}: ${status}")
endif()
string(STRIP "${resolved}" resolved)
string(REPLACE "\n" ";" lines "${resolved}")
list(LENGTH lines count)
math(EXPR last "${count} - 1")
math(EXPR last_function "${count} - 2")
list(GET lines ${last_function} function)
list(GET lines ${last} place)
if(NOT function STREQUAL "fnSearchWord" OR NOT place MATCHES "plugin-lexigrove\\.cpp:([0-9]+)")
    message(FATAL_ERROR "plugin-lexigrove.dll+${offset} (${address}) resolves to\n${resolved}\n"
                        "expected fnSearchWord in plugin-lexigrove.cpp")
endif()
set(line ${CMAKE_MATCH_1})

# That line is within fnSearchWord's definition in the source.
file(STRINGS ${SOURCE} source_lines)
set(number 0)
set(first 0)
set(end 0)
foreach(text IN LISTS source_lines)
    math(EXPR number "${number} + 1")
    if(first EQUAL 0 AND text MATCHES "fnSearchWord\\(")
        set(first ${number})
    elseif(first GREATER 0 AND end EQUAL 0 AND text MATCHES "^}")
        set(end ${number})
    endif()
endforeach()
if(line LESS first OR line GREATER end)
    message(FATAL_ERROR "fnSearchWord is at lines ${first}-${end} of ${SOURCE}, "
                        "addr2line said line ${line}")
endif()

# Without its debug file, or with a debug file that is not the one it was
# stripped with (one byte more: the debug link's checksum no longer
# matches), the stripped DLL has no function or line for the address.
file(REMOVE ${beside}/plugin-lexigrove.dll.debug)
execute_process(COMMAND ${ADDR2LINE} -f -e ${plugin} ${address} OUTPUT_VARIABLE bare)
if(NOT bare MATCHES "^\\?\\?\n\\?\\?:[0?]")
    message(FATAL_ERROR "the shipped plugin alone still resolves the address:\n${bare}")
endif()
file(COPY_FILE ${WORK}/${top}/plugin-lexigrove.dll.debug ${beside}/plugin-lexigrove.dll.debug)
file(APPEND ${beside}/plugin-lexigrove.dll.debug "x")
execute_process(COMMAND ${ADDR2LINE} -f -e ${plugin} ${address} OUTPUT_VARIABLE altered)
if(NOT altered MATCHES "^\\?\\?\n\\?\\?:[0?]")
    message(FATAL_ERROR "a debug file whose checksum differs was used:\n${altered}")
endif()
message(STATUS "plugin-lexigrove.dll+${offset} (${address}): ${function} at ${place}")
