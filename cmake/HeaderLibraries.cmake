# nlohmann-json and CLI11, the two header-only libraries of the tools and their tests, as the
# targets nlohmann_json::nlohmann_json and CLI11::CLI11; cpp-httplib, g19-hostsim's web
# server, as httplib::httplib; and Boost's headers (Beast, the WebSocket library of the Remote
# Apps side, and the Asio it is built on) as Boost::headers.
#
# A native build finds Debian's packages. A cross build must not see this machine's
# /usr/include, where the system's own headers would shadow the target's; it gets a private
# include directory in the build tree that links to the two libraries' folders only. Both
# include nothing but the standard library and their own headers.
# cpp-httplib is the single header of Debian's source package, which scripts/deps fetches into
# build/deps (it says why); its folder holds nothing else, so every build can use it as it is.
set(G19_HTTPLIB_DIR ${PROJECT_SOURCE_DIR}/build/deps/cpp-httplib CACHE PATH "Where scripts/deps put httplib.h")
if(NOT EXISTS ${G19_HTTPLIB_DIR}/httplib.h)
    message(FATAL_ERROR "${G19_HTTPLIB_DIR}/httplib.h is missing: run scripts/deps, which fetches it")
endif()
add_library(httplib::httplib INTERFACE IMPORTED GLOBAL)
set_target_properties(httplib::httplib PROPERTIES INTERFACE_INCLUDE_DIRECTORIES ${G19_HTTPLIB_DIR})
if(WIN32)
    # Its sockets; the library asks for them with a pragma that MinGW ignores.
    set_target_properties(httplib::httplib PROPERTIES INTERFACE_LINK_LIBRARIES ws2_32)
endif()

if(NOT CMAKE_CROSSCOMPILING)
    find_package(nlohmann_json 3 REQUIRED)
    find_package(CLI11 REQUIRED)
    find_package(Boost 1.74 REQUIRED)
    return()
endif()

set(G19_HOST_INCLUDE_DIR /usr/include CACHE PATH "Where this machine keeps nlohmann/ and CLI/")
set(header_libraries ${PROJECT_BINARY_DIR}/header-libraries)
foreach(folder nlohmann CLI boost)
    if(NOT IS_DIRECTORY ${G19_HOST_INCLUDE_DIR}/${folder})
        message(FATAL_ERROR "${G19_HOST_INCLUDE_DIR}/${folder} is missing: install nlohmann-json3-dev, "
                            "libcli11-dev and libboost-dev (scripts/deps)")
    endif()
    file(MAKE_DIRECTORY ${header_libraries})
    file(CREATE_LINK ${G19_HOST_INCLUDE_DIR}/${folder} ${header_libraries}/${folder} SYMBOLIC)
endforeach()
foreach(target nlohmann_json::nlohmann_json CLI11::CLI11 Boost::headers)
    add_library(${target} INTERFACE IMPORTED GLOBAL)
    set_target_properties(${target} PROPERTIES INTERFACE_INCLUDE_DIRECTORIES ${header_libraries})
endforeach()
