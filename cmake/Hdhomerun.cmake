# libhdhomerun.dll, built from the library's upstream source tarball (LGPL; Debian ships the same
# file), pinned by cmake/libhdhomerun.sha256. tools/build.sh passes the checked tarball as
# TAVRIX_HDHOMERUN_SOURCE; the program compiles against its headers and loads the DLL at run time
# from its own folder (devices/HdhomerunLibrary.cpp), so nothing links against the library.
file(STRINGS ${CMAKE_SOURCE_DIR}/cmake/libhdhomerun.sha256 pinned LIMIT_COUNT 1)
string(REGEX MATCH "^([0-9a-f]+)  (.+)$" pinned "${pinned}")
set(HDHOMERUN_SHA256 ${CMAKE_MATCH_1})
set(HDHOMERUN_TARBALL_NAME ${CMAKE_MATCH_2})
set(TAVRIX_HDHOMERUN_SOURCE "$ENV{TAVRIX_HDHOMERUN_SOURCE}" CACHE FILEPATH "libhdhomerun source tarball")
if(TAVRIX_HDHOMERUN_SOURCE STREQUAL "")
  set(TAVRIX_HDHOMERUN_SOURCE /var/cache/tavrix/${HDHOMERUN_TARBALL_NAME})
endif()
if(NOT EXISTS ${TAVRIX_HDHOMERUN_SOURCE})
  message(FATAL_ERROR "${TAVRIX_HDHOMERUN_SOURCE} does not exist: run tools/setup.sh or set TAVRIX_HDHOMERUN_SOURCE to ${HDHOMERUN_TARBALL_NAME}")
endif()
file(SHA256 ${TAVRIX_HDHOMERUN_SOURCE} actual)
if(NOT actual STREQUAL HDHOMERUN_SHA256)
  message(FATAL_ERROR "${TAVRIX_HDHOMERUN_SOURCE} has SHA-256 ${actual}, not ${HDHOMERUN_SHA256} of ${HDHOMERUN_TARBALL_NAME}")
endif()
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${TAVRIX_HDHOMERUN_SOURCE})

# Unpacked into the build folder, which the compiler maps away: the DLL does not name it.
# Once per tarball, keeping the archive's times: a new configure rebuilds nothing.
set(HDHOMERUN_DIR ${CMAKE_BINARY_DIR}/libhdhomerun-source)
if(NOT EXISTS ${HDHOMERUN_DIR}/${actual})
  file(REMOVE_RECURSE ${HDHOMERUN_DIR})
  file(ARCHIVE_EXTRACT INPUT ${TAVRIX_HDHOMERUN_SOURCE} DESTINATION ${HDHOMERUN_DIR})
  file(TOUCH ${HDHOMERUN_DIR}/${actual})
endif()
set(HDHOMERUN_DIR ${HDHOMERUN_DIR}/libhdhomerun)
# The release ships the source beside the packages (installer/build.sh takes it from here).
configure_file(${TAVRIX_HDHOMERUN_SOURCE} ${CMAKE_BINARY_DIR}/${HDHOMERUN_TARBALL_NAME} COPYONLY)
configure_file(${HDHOMERUN_DIR}/LICENSE ${CMAKE_BINARY_DIR}/libhdhomerun-LICENSE.txt COPYONLY)

add_library(hdhomerun INTERFACE)
target_include_directories(hdhomerun SYSTEM INTERFACE ${HDHOMERUN_DIR})

# The library's Windows build: its common sources, the Windows OS and socket layers.
set(hdhomerun_sources channels channelscan control debug device device_selector discover os_windows
    pkt sock sock_windows video)
list(TRANSFORM hdhomerun_sources REPLACE "(.+)" "${HDHOMERUN_DIR}/hdhomerun_\\1.c")
add_library(libhdhomerun SHARED ${hdhomerun_sources})
set_target_properties(libhdhomerun PROPERTIES PREFIX "" OUTPUT_NAME libhdhomerun)
# The same target system as the program; its registry code hands wide strings to the generic calls.
target_compile_definitions(libhdhomerun PRIVATE _WIN32_WINNT=0x0600 WINVER=0x0600 NTDDI_VERSION=0x06000000
                           UNICODE _UNICODE LIBHDHOMERUN_DLLEXPORT)
target_compile_options(libhdhomerun PRIVATE -O2 -w)  # not ours to make warning-free
# System DLLs only: a toolchain DLL would be looked for along PATH by an elevated copy.
target_link_options(libhdhomerun PRIVATE -static-libgcc ${TAVRIX_RELEASE_LINK})
target_link_libraries(libhdhomerun PRIVATE ws2_32 iphlpapi bcrypt)
