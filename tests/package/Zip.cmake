# ZIP helpers of the package checks (included by CheckPackage.cmake and
# CheckSymbols.cmake).

# check_zip_files(zip top names...): the ZIP holds exactly these files (folder
# entries aside), each under the top folder; a fatal error lists both sides.
function(check_zip_files zip top)
    execute_process(COMMAND ${UNZIP} -Z1 ${zip} OUTPUT_VARIABLE listing RESULT_VARIABLE status)
    if(NOT status EQUAL 0)
        message(FATAL_ERROR "cannot list ${zip}: ${status}")
    endif()
    string(REPLACE "\n" ";" entries "${listing}")
    set(files "")
    foreach(entry IN LISTS entries)
        # Folder entries end in a slash; only files count.
        if(entry AND NOT entry MATCHES "/$")
            list(APPEND files "${entry}")
        endif()
    endforeach()
    list(SORT files)
    set(expected ${ARGN})
    list(TRANSFORM expected PREPEND "${top}/")
    list(SORT expected)
    if(NOT files STREQUAL expected)
        string(REPLACE ";" "\n  " shown "${files}")
        string(REPLACE ";" "\n  " wanted "${expected}")
        message(FATAL_ERROR "content of ${zip}:\n  ${shown}\nexpected:\n  ${wanted}")
    endif()
endfunction()

# unpack_zip(zip folder): the folder emptied, then the ZIP unpacked into it.
function(unpack_zip zip folder)
    file(REMOVE_RECURSE ${folder})
    file(MAKE_DIRECTORY ${folder})
    execute_process(COMMAND ${UNZIP} -q ${zip} -d ${folder} RESULT_VARIABLE status)
    if(NOT status EQUAL 0)
        message(FATAL_ERROR "cannot unpack ${zip}: ${status}")
    endif()
endfunction()
