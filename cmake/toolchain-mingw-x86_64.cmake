# Cross toolchain: 64-bit x64 Windows, mingw-w64 (Debian package mingw-w64).
# Used by the windows-x64 preset; scripts/install-deps.sh installs the tools.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR AMD64)

set(ZENDRA_MINGW_TRIPLET x86_64-w64-mingw32)

set(CMAKE_C_COMPILER   ${ZENDRA_MINGW_TRIPLET}-gcc)
set(CMAKE_CXX_COMPILER ${ZENDRA_MINGW_TRIPLET}-g++)
set(CMAKE_RC_COMPILER  ${ZENDRA_MINGW_TRIPLET}-windres)

# Headers and libraries come only from the mingw sysroot, never from the
# Linux host; build tools (programs) are still the host's.
set(CMAKE_FIND_ROOT_PATH /usr/${ZENDRA_MINGW_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
