# Checks that a built plug-in library exports exactly the voice client's eight entry
# points, and on Windows that it needs no C++ runtime DLL beside it and takes no
# thread-local-storage index it cannot give back (TlsAlloc without TlsFree: the threads
# library of the "-posix" runtime, which leaks one index per load).
#   cmake -D TOOL=<nm or objdump> -D FORMAT=<elf|pe> -D LIBRARY=<file> -P check_exports.cmake
set(expected
    ts3plugin_apiVersion ts3plugin_author ts3plugin_description ts3plugin_init
    ts3plugin_name ts3plugin_setFunctionPointers ts3plugin_shutdown ts3plugin_version)

if(FORMAT STREQUAL "elf")
    execute_process(COMMAND ${TOOL} -D --defined-only ${LIBRARY}
                    OUTPUT_VARIABLE listing RESULT_VARIABLE failed)
else()
    execute_process(COMMAND ${TOOL} -p ${LIBRARY} OUTPUT_VARIABLE listing RESULT_VARIABLE failed)
endif()
if(failed)
    message(FATAL_ERROR "${TOOL} could not read ${LIBRARY}")
endif()

set(exported "")
set(imported "")
set(functions "")
string(REPLACE "\n" ";" lines "${listing}")
foreach(line IN LISTS lines)
    if(FORMAT STREQUAL "elf")
        # "<address> <type> <name>"; nm lists undefined symbols only without --defined-only.
        if(line MATCHES "^[0-9a-fA-F]+ [A-Za-z] ([^ ]+)$")
            list(APPEND exported "${CMAKE_MATCH_1}")
        endif()
    else()
        # The export name table: "\t[   0] <name>".
        if(line MATCHES "^[ \t]*\\[ *[0-9]+\\] ([^ ]+)$")
            list(APPEND exported "${CMAKE_MATCH_1}")
        elseif(line MATCHES "DLL Name: (.+)$")
            list(APPEND imported "${CMAKE_MATCH_1}")
        elseif(line MATCHES "^\t[0-9a-fA-F]+\t +[0-9]+  ([A-Za-z_0-9]+)$")
            # An imported function: "\t<hint address>\t <hint>  <name>".
            list(APPEND functions "${CMAKE_MATCH_1}")
        endif()
    endif()
endforeach()

list(SORT exported)
if(NOT exported STREQUAL expected)
    message(FATAL_ERROR "${LIBRARY} exports\n  ${exported}\ninstead of\n  ${expected}")
endif()
foreach(dll IN LISTS imported)
    if(dll MATCHES "^(libstdc|libgcc|libwinpthread)")
        message(FATAL_ERROR "${LIBRARY} needs ${dll} beside it")
    endif()
endforeach()
list(FIND functions TlsAlloc tls_alloc)
list(FIND functions TlsFree tls_free)
if(tls_alloc GREATER -1 AND tls_free EQUAL -1)
    message(FATAL_ERROR "${LIBRARY} imports TlsAlloc without TlsFree: each load takes an index for good")
endif()
message(STATUS "${LIBRARY}: exactly the eight entry points; imports: ${imported}")
