# libhdhomerun: Debian's headers only. The program loads libhdhomerun.dll itself, from its
# own folder (devices/HdhomerunLibrary.cpp), so nothing links against the library.
set(HDHOMERUN_INCLUDE_DIR /usr/include/libhdhomerun)
if(NOT EXISTS ${HDHOMERUN_INCLUDE_DIR}/hdhomerun.h)
  message(FATAL_ERROR "libhdhomerun headers not found in ${HDHOMERUN_INCLUDE_DIR} (Debian package libhdhomerun-dev)")
endif()

add_library(hdhomerun INTERFACE)
# Only the library's own folder: the Linux /usr/include must stay off the mingw path.
target_include_directories(hdhomerun SYSTEM INTERFACE ${HDHOMERUN_INCLUDE_DIR})
