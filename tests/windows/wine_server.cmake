# Starts or stops the Wine server that the Windows tests share (see CMakeLists.txt):
#   cmake -D WINESERVER=PROGRAM -D WINEPREFIX=DIR -D STEP=start|stop -P wine_server.cmake
set(ENV{WINEPREFIX} ${WINEPREFIX})
# A server still there (listing the tests starts programs too) keeps its short life; it
# makes way for one that outlasts any pause between tests by far.
execute_process(COMMAND ${WINESERVER} --kill OUTPUT_QUIET ERROR_QUIET)
if(STEP STREQUAL "start")
    # The server goes on in the background; without files of its own for its output, the
    # test runner would wait for it to end.
    execute_process(COMMAND ${WINESERVER} -p60 RESULT_VARIABLE result
                    INPUT_FILE /dev/null OUTPUT_FILE /dev/null ERROR_FILE /dev/null)
    if(NOT result EQUAL 0)
        message(FATAL_ERROR "${WINESERVER} -p60 failed: ${result}")
    endif()
endif()
