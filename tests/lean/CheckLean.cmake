# cmake -DBINARY=dll -DNM=nm -DSTRIP=strip -DBUDGET=bytes -DWORK=dir -P CheckLean.cmake
# Fails when the image defines or imports any symbol of the C++ stream and
# locale machinery (std::locale, ios_base, num_get, money_get, time_get,
# basic_istream, basic_ostream) or the demangler, or when a stripped copy of
# it is larger than BUDGET bytes.
foreach(var BINARY NM STRIP BUDGET WORK)
    if(NOT DEFINED ${var})
        message(FATAL_ERROR "CheckLean.cmake needs -D${var}=...")
    endif()
endforeach()

execute_process(COMMAND ${NM} -C ${BINARY} RESULT_VARIABLE status
                OUTPUT_VARIABLE symbols ERROR_VARIABLE errors)
if(NOT status EQUAL 0)
    message(FATAL_ERROR "${NM} failed on ${BINARY}: ${errors}")
endif()
string(LENGTH "${symbols}" length)
if(length LESS 1000)
    message(FATAL_ERROR "${BINARY} lists almost no symbols: is it stripped?")
endif()
string(REGEX MATCHALL
       "[^\n]*(std::locale|ios_base|num_get|num_put|money_get|money_put|time_get|time_put|basic_istream|basic_ostream|basic_streambuf)[^\n]*"
       stream "${symbols}")
list(LENGTH stream count)
if(count GREATER 0)
    list(SUBLIST stream 0 10 first)
    string(REPLACE ";" "\n" first "${first}")
    message(FATAL_ERROR "${BINARY} links ${count} symbols of the stream and locale library, "
                        "among them:\n${first}")
endif()

# Nor the demangler, which only the C++ runtime's default terminate handler
# would bring in.
if(symbols MATCHES "__cxa_demangle")
    message(FATAL_ERROR "${BINARY} links the demangler (__cxa_demangle): the runtime's own "
                        "terminate handler came in")
endif()

get_filename_component(name ${BINARY} NAME)
set(stripped ${WORK}/stripped-${name})
execute_process(COMMAND ${STRIP} -o ${stripped} ${BINARY} RESULT_VARIABLE status
                ERROR_VARIABLE errors)
if(NOT status EQUAL 0)
    message(FATAL_ERROR "${STRIP} failed on ${BINARY}: ${errors}")
endif()
file(SIZE ${BINARY} unstripped)
file(SIZE ${stripped} size)
if(size GREATER BUDGET)
    message(FATAL_ERROR "${name} stripped is ${size} bytes, over its budget of ${BUDGET}")
endif()
message(STATUS "${name}: ${size} bytes stripped (budget ${BUDGET}), ${unstripped} as built; "
               "no stream or locale symbols, no demangler")
