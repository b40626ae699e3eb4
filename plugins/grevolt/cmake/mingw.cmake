# Cross-compiling for Windows with Debian's mingw-w64 compilers (win32 thread
# model).  Set GREVOLT_MINGW_ARCH to i686 (32-bit) or x86_64 (64-bit).
set(CMAKE_SYSTEM_NAME Windows)
if(NOT GREVOLT_MINGW_ARCH MATCHES "^(i686|x86_64)$")
  message(FATAL_ERROR "GREVOLT_MINGW_ARCH must be i686 or x86_64, not '${GREVOLT_MINGW_ARCH}'")
endif()
# Checks of the compiler run in their own projects; they need the choice too.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES GREVOLT_MINGW_ARCH)
set(CMAKE_SYSTEM_PROCESSOR ${GREVOLT_MINGW_ARCH})
set(CMAKE_CXX_COMPILER ${GREVOLT_MINGW_ARCH}-w64-mingw32-g++-win32)
set(CMAKE_RC_COMPILER ${GREVOLT_MINGW_ARCH}-w64-mingw32-windres)
set(CMAKE_FIND_ROOT_PATH /usr/${GREVOLT_MINGW_ARCH}-w64-mingw32)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
