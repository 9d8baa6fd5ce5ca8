# Fails when a folder of the product includes what it must not see, so that the one-way
# flow holds: socket bytes -> server/ -> protocol/ -> host/, with plugin/ owning the
# process-wide state and the display side (client/, g19-probe) sharing only the wire
# constants with the plug-in.
#   cmake -D SOURCE_DIR=<repository> -P check_includes.cmake
cmake_minimum_required(VERSION 3.25)

# Folders whose names start a project include ("protocol/request.h"); any other include
# ("gtest/gtest.h", "sys/socket.h") is not the project's.
set(project_folders bench bridge client fuzz g19 host packaging platform plugin protocol server sim tests tools)

# What each folder may include of the project: whole folders, or single headers.
set(allowed_host host)
set(allowed_platform platform)
set(allowed_protocol host protocol)
set(allowed_server host platform protocol server)
set(allowed_plugin g19 host platform plugin server)
set(allowed_sim host sim platform/library.h)
set(allowed_client client protocol/wire.h)
set(allowed_tools/probe client g19 platform tools protocol/wire.h)
# The bridge is a host of its own: it answers the request path's host calls and knows neither
# the protocol nor the server, which only its program starts.
set(allowed_bridge bridge host platform)
# Its program's replay asks the request path as the listener does and shows the answers as
# g19-probe --json shows them.
set(allowed_tools/bridge bridge g19 platform server client tools/probe protocol/request.h)

# Names a folder must not use at all: protocol/ takes everything through its request's
# context and writes to no process stream.
set(forbidden_protocol "hostFunctions" "pluginState" "std::cout")

set(violations "")
foreach(folder host platform protocol server plugin sim client tools/probe bridge tools/bridge)
    file(GLOB sources "${SOURCE_DIR}/${folder}/*.h" "${SOURCE_DIR}/${folder}/*.cpp")
    if(NOT sources)
        list(APPEND violations "${folder}/: no sources found under ${SOURCE_DIR}")
    endif()
    foreach(source ${sources})
        file(RELATIVE_PATH shown "${SOURCE_DIR}" "${source}")
        file(STRINGS "${source}" includes REGEX "^[ \t]*#[ \t]*include[ \t]*[<\"]")
        foreach(line ${includes})
            string(REGEX REPLACE "^[ \t]*#[ \t]*include[ \t]*[<\"]([^>\"]*)[>\"].*" "\\1" path "${line}")
            string(FIND "${path}" "/" slash)
            if(slash EQUAL -1)
                continue()
            endif()
            string(SUBSTRING "${path}" 0 ${slash} top)
            if(NOT top IN_LIST project_folders)
                continue()
            endif()
            set(allowed FALSE)
            foreach(entry ${allowed_${folder}})
                if(path STREQUAL entry OR path MATCHES "^${entry}/")
                    set(allowed TRUE)
                endif()
            endforeach()
            if(NOT allowed)
                list(APPEND violations "${shown}: includes ${path}")
            endif()
        endforeach()
        foreach(name ${forbidden_${folder}})
            file(STRINGS "${source}" uses REGEX "${name}")
            if(uses)
                list(APPEND violations "${shown}: uses ${name}")
            endif()
        endforeach()
    endforeach()
endforeach()

if(violations)
    list(JOIN violations "\n  " text)
    message(FATAL_ERROR "include boundaries crossed:\n  ${text}")
endif()
