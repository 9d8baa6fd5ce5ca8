# nlohmann-json and CLI11, the two header-only libraries of the tools and their tests, as the
# targets nlohmann_json::nlohmann_json and CLI11::CLI11; cpp-httplib, g19-hostsim's web
# server, as httplib::httplib; and Boost's headers with Beast, the WebSocket library of the
# bridge and of g19-hostsim's Remote Apps face, as g19::beast; RapidJSON, whose reader takes
# the bridge's most frequent frame without a document, as g19::rapidjson.
#
# A native build finds Debian's packages. A cross build must not see this machine's
# /usr/include, where the system's own headers would shadow the target's; it gets a private
# include directory in the build tree that links to the libraries' folders only. They
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

add_library(g19::beast INTERFACE IMPORTED GLOBAL)
# Two of GCC's warnings are about Beast's and Asio's code, not ours, and reach our sources
# through inlining, where the system-header exemption does not hold:
# - Asio fences its handler queues with std::atomic_thread_fence, which GCC warns that
#   ThreadSanitizer cannot see;
# - Beast's inflater offsets its length tables by -257 the way zlib does, which the 32-bit
#   MinGW compiler at -O3 takes for an out-of-bounds subscript.
set_target_properties(g19::beast PROPERTIES
                      INTERFACE_COMPILE_OPTIONS "$<$<CXX_COMPILER_ID:GNU>:-Wno-tsan;-Wno-array-bounds>")
if(WIN32)
    # Asio's sockets and its AcceptEx and ConnectEx.
    set_target_properties(g19::beast PROPERTIES INTERFACE_LINK_LIBRARIES "ws2_32;mswsock"
                                                INTERFACE_COMPILE_DEFINITIONS "_WIN32_WINNT=0x0601")
endif()

add_library(g19::rapidjson INTERFACE IMPORTED GLOBAL)

if(NOT CMAKE_CROSSCOMPILING)
    find_package(RapidJSON 1.1 REQUIRED)
    find_package(nlohmann_json 3 REQUIRED)
    find_package(CLI11 REQUIRED)
    find_package(Boost 1.74 REQUIRED)
    set_property(TARGET g19::beast APPEND PROPERTY INTERFACE_LINK_LIBRARIES Boost::headers)
    return()
endif()

set(G19_HOST_INCLUDE_DIR /usr/include CACHE PATH "Where this machine keeps nlohmann/ and CLI/")
set(header_libraries ${PROJECT_BINARY_DIR}/header-libraries)
foreach(folder nlohmann CLI boost rapidjson)
    if(NOT IS_DIRECTORY ${G19_HOST_INCLUDE_DIR}/${folder})
        message(FATAL_ERROR "${G19_HOST_INCLUDE_DIR}/${folder} is missing: install nlohmann-json3-dev, "
                            "libcli11-dev, libboost-dev and rapidjson-dev (scripts/deps)")
    endif()
    file(MAKE_DIRECTORY ${header_libraries})
    file(CREATE_LINK ${G19_HOST_INCLUDE_DIR}/${folder} ${header_libraries}/${folder} SYMBOLIC)
endforeach()
foreach(target nlohmann_json::nlohmann_json CLI11::CLI11)
    add_library(${target} INTERFACE IMPORTED GLOBAL)
endforeach()
foreach(target nlohmann_json::nlohmann_json CLI11::CLI11 g19::rapidjson)
    set_target_properties(${target} PROPERTIES INTERFACE_INCLUDE_DIRECTORIES ${header_libraries})
endforeach()
set_property(TARGET g19::beast APPEND PROPERTY INTERFACE_INCLUDE_DIRECTORIES ${header_libraries})
