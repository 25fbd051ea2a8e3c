# libhdhomerun: Debian's headers, and an import library for libhdhomerun.dll made
# from the list of functions the program calls.
set(HDHOMERUN_INCLUDE_DIR /usr/include/libhdhomerun)
if(NOT EXISTS ${HDHOMERUN_INCLUDE_DIR}/hdhomerun.h)
  message(FATAL_ERROR "libhdhomerun headers not found in ${HDHOMERUN_INCLUDE_DIR} (Debian package libhdhomerun-dev)")
endif()

set(HDHOMERUN_DEF ${CMAKE_SOURCE_DIR}/devices/libhdhomerun.def)
set(HDHOMERUN_IMPLIB ${CMAKE_BINARY_DIR}/libhdhomerun.dll.a)
add_custom_command(
  OUTPUT ${HDHOMERUN_IMPLIB}
  COMMAND ${TAVRIX_DLLTOOL} -d ${HDHOMERUN_DEF} -l ${HDHOMERUN_IMPLIB} -m ${TAVRIX_DLLTOOL_MACHINE}
  DEPENDS ${HDHOMERUN_DEF}
  COMMENT "Import library for libhdhomerun.dll")
add_custom_target(hdhomerun_implib DEPENDS ${HDHOMERUN_IMPLIB})

add_library(hdhomerun UNKNOWN IMPORTED GLOBAL)
set_target_properties(hdhomerun PROPERTIES IMPORTED_LOCATION ${HDHOMERUN_IMPLIB})
# Only the library's own folder: the Linux /usr/include must stay off the mingw path.
target_include_directories(hdhomerun SYSTEM INTERFACE ${HDHOMERUN_INCLUDE_DIR})
add_dependencies(hdhomerun hdhomerun_implib)
