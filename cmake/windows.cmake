# Windows cross build (mingw-w64): produces the kernel driver zendra.sys.
#
# Included by the top-level CMakeLists.txt when CMAKE_SYSTEM_NAME is Windows,
# i.e. when configured with cmake/toolchain-mingw-{i686,x86_64}.cmake (see the
# windows-x86 / windows-x64 presets). The same driver sources are compiled by
# the host build against the emulated kernel; here they meet the real kit
# headers that ship with mingw-w64.

include(CheckCXXSourceCompiles)

if(CMAKE_SIZEOF_VOID_P EQUAL 4)
  set(ZENDRA_WINDOWS_ARCH x86)
else()
  set(ZENDRA_WINDOWS_ARCH x64)
endif()

# CMake's mingw platform files link every target against kernel32, user32,
# gdi32 and friends by default. A kernel image must never see those, and the
# user-mode targets we add later name their import libraries explicitly.
set(CMAKE_C_STANDARD_LIBRARIES "")
set(CMAKE_CXX_STANDARD_LIBRARIES "")

# ---------------------------------------------------------------------------
# Locate the kit headers (wdm.h, ntddk.h, usbdlib.h, ...).
#
# mingw-w64 keeps them in a "ddk" folder below its ordinary include folder
# (usb.h, usbdi.h, ntddser.h live in the ordinary folder). Ask the compiler
# where its include folders are instead of guessing a path: CMake recorded
# them while probing the compiler.
# ---------------------------------------------------------------------------
find_path(ZENDRA_DDK_INCLUDE_DIR
  NAMES wdm.h
  PATHS ${CMAKE_CXX_IMPLICIT_INCLUDE_DIRECTORIES}
  PATH_SUFFIXES ddk
  NO_DEFAULT_PATH
  NO_CMAKE_FIND_ROOT_PATH)
if(NOT ZENDRA_DDK_INCLUDE_DIR)
  message(FATAL_ERROR
    "wdm.h not found in a 'ddk' folder under the compiler's include folders "
    "(${CMAKE_CXX_IMPLICIT_INCLUDE_DIRECTORIES}). Run scripts/install-deps.sh.")
endif()
message(STATUS "zendra: kernel headers in ${ZENDRA_DDK_INCLUDE_DIR}")

# ---------------------------------------------------------------------------
# Compiler settings for kernel code.
# ---------------------------------------------------------------------------
set(ZENDRA_KERNEL_DEFINITIONS
  # The kit's convention for "this translation unit is kernel code".
  # _X86_ / _AMD64_ need no help: gcc predefines _X86_ on i686 and mingw's
  # headers derive _AMD64_ from __x86_64__. NTDDI_VERSION is derived by the
  # headers from _WIN32_WINNT, which mingw-w64 defaults to 0x0A00.
  _KERNEL_MODE=1
)

# mingw-w64 10's wdm.h defines InterlockedBitTestAndSet/Reset as static
# inline functions, and so does the intrin.h it includes first: C++ rejects
# the second definition. Telling intrin.h the two already exist leaves wdm.h's
# copies as the only ones. Probe rather than assume, so a fixed mingw needs
# no workaround.
set(_zendra_probe_source [=[
#include <ntddk.h>
#include <wdm.h>
#include <usb.h>
#include <usbdi.h>
extern "C" {
#include <usbdlib.h>
}
#include <ntddser.h>
static LONG zendra_probe_bits;
int zendra_probe() { return InterlockedBitTestAndSet(&zendra_probe_bits, 3); }
]=])
set(CMAKE_TRY_COMPILE_TARGET_TYPE STATIC_LIBRARY)
set(CMAKE_REQUIRED_QUIET ON)
set(CMAKE_REQUIRED_INCLUDES "${ZENDRA_DDK_INCLUDE_DIR}")
set(CMAKE_REQUIRED_DEFINITIONS -D_KERNEL_MODE=1)
set(CMAKE_REQUIRED_FLAGS -std=c++20)
check_cxx_source_compiles("${_zendra_probe_source}" ZENDRA_DDK_COMPILES_AS_IS)
if(NOT ZENDRA_DDK_COMPILES_AS_IS)
  list(APPEND CMAKE_REQUIRED_DEFINITIONS
    -D__INTRINSIC_DEFINED_InterlockedBitTestAndSet
    -D__INTRINSIC_DEFINED_InterlockedBitTestAndReset)
  check_cxx_source_compiles("${_zendra_probe_source}"
    ZENDRA_DDK_NEEDS_BITTEST_WORKAROUND)
  if(NOT ZENDRA_DDK_NEEDS_BITTEST_WORKAROUND)
    message(FATAL_ERROR
      "The kernel headers in ${ZENDRA_DDK_INCLUDE_DIR} do not compile as C++; "
      "see CMakeFiles/CMakeError.log")
  endif()
  list(APPEND ZENDRA_KERNEL_DEFINITIONS
    __INTRINSIC_DEFINED_InterlockedBitTestAndSet
    __INTRINSIC_DEFINED_InterlockedBitTestAndReset)
endif()
unset(CMAKE_REQUIRED_QUIET)
unset(CMAKE_REQUIRED_INCLUDES)
unset(CMAKE_REQUIRED_DEFINITIONS)
unset(CMAKE_REQUIRED_FLAGS)
unset(CMAKE_TRY_COMPILE_TARGET_TYPE)

set(ZENDRA_KERNEL_COMPILE_OPTIONS
  -Wall -Wextra -Werror
  # Pool tags are written 'Zdra' in kernel code (the kit's own ExAllocatePool
  # macro does it too); gcc gives such constants the same value MSVC does.
  -Wno-multichar
  # The kernel stack is 12 KiB (x86) / 24 KiB (x64) for the whole call chain,
  # shared with the drivers above and below us. Big locals belong in pool.
  -Wframe-larger-than=1024
  # No C++ runtime exists in the kernel: no exception support, no RTTI, no
  # guarded statics (those call __cxa_guard_*), no unwinder.
  $<$<COMPILE_LANGUAGE:CXX>:-fno-exceptions>
  $<$<COMPILE_LANGUAGE:CXX>:-fno-rtti>
  $<$<COMPILE_LANGUAGE:CXX>:-fno-threadsafe-statics>
  -fno-asynchronous-unwind-tables
  -fno-unwind-tables
  # Stack-protector and stack-probe helpers live in libssp/libgcc, which we do
  # not link. Kernel stacks are resident, so probing them buys nothing.
  -fno-stack-protector
  -mno-stack-arg-probe
  # The kit's own macros (CONTAINING_RECORD, list heads, URB unions) pun types.
  -fno-strict-aliasing
)
if(ZENDRA_WINDOWS_ARCH STREQUAL "x86")
  # The 32-bit kernel does not save FPU/SSE state for drivers. Keeping the
  # compiler to integer registers turns any float arithmetic into a call to a
  # soft-float helper (__mulsf3, ...) that fails to link, instead of silent
  # state corruption at run time. (x64 kernel code may use SSE, and mingw's
  # intrin.h needs it there.)
  list(APPEND ZENDRA_KERNEL_COMPILE_OPTIONS -mgeneral-regs-only)
endif()

# ---------------------------------------------------------------------------
# Link settings for a kernel image.
# ---------------------------------------------------------------------------
if(ZENDRA_WINDOWS_ARCH STREQUAL "x86")
  # DriverEntry is __stdcall (NTAPI) on x86, hence the decorated name: the
  # kernel expects it to pop its 8 bytes of arguments, which a cdecl
  # DriverEntry would not, leaving the caller's stack unbalanced.
  set(ZENDRA_DRIVER_ENTRY _DriverEntry@8)
  set(ZENDRA_DRIVER_IMAGE_BASE 0x10000)
  # Without this, ld silently binds _DriverEntry@8 to a cdecl _DriverEntry.
  set(ZENDRA_ARCH_LINK_OPTIONS -Wl,--disable-stdcall-fixup)
else()
  set(ZENDRA_DRIVER_ENTRY DriverEntry)
  set(ZENDRA_DRIVER_IMAGE_BASE 0x140000000)
  set(ZENDRA_ARCH_LINK_OPTIONS -Wl,--high-entropy-va)
endif()

# What every image of ours links with: no CRT start files, no
# libstdc++/libgcc/msvcrt, only the import libraries each names; always
# relocations, since the loader places images wherever it likes; and a
# missing entry symbol, only a warning to ld, stops the build.
set(ZENDRA_BARE_IMAGE_LINK_OPTIONS
  -nostdlib
  -nostartfiles
  -Wl,--dynamicbase
  -Wl,--enable-reloc-section
  -Wl,--nxcompat
  -Wl,--fatal-warnings)

set(ZENDRA_KERNEL_LINK_OPTIONS
  ${ZENDRA_BARE_IMAGE_LINK_OPTIONS}
  -Wl,--subsystem,native
  -Wl,--entry,${ZENDRA_DRIVER_ENTRY}
  -Wl,--image-base,${ZENDRA_DRIVER_IMAGE_BASE}
  -Wl,--file-alignment,0x200
  -Wl,--section-alignment,0x1000
  -Wl,--wdmdriver
  ${ZENDRA_ARCH_LINK_OPTIONS}
)

# Import libraries shipped by mingw-w64. Nothing else may be linked into the
# driver; tools/pecheck verifies the finished image imports only from
# ntoskrnl.exe, HAL.dll and USBD.SYS.
set(ZENDRA_KERNEL_LIBRARIES ntoskrnl hal usbd)

# ---------------------------------------------------------------------------
# Reproducible images: the same commit links to the same bytes. The link
# timestamp is the one thing that would differ (ld then leaves the field 0,
# and the checksum it writes covers the rest). Each image is linked a second
# time, from the same objects, into relink/; the image_reproducible test
# compares the two byte for byte.
# ---------------------------------------------------------------------------
set(ZENDRA_REPRODUCIBLE_LINK_OPTIONS -Wl,--no-insert-timestamp)

# ---------------------------------------------------------------------------
# zendra.sys
# ---------------------------------------------------------------------------
# zendra/sources.cmake may list paths relative to the top folder or absolute.
set(_zendra_sys_sources "")
foreach(_src IN LISTS ZENDRA_DRIVER_SOURCES)
  if(NOT IS_ABSOLUTE "${_src}")
    set(_src "${PROJECT_SOURCE_DIR}/${_src}")
  endif()
  list(APPEND _zendra_sys_sources "${_src}")
endforeach()

add_library(zendra_sys_objects OBJECT ${_zendra_sys_sources})
set_target_properties(zendra_sys_objects PROPERTIES
  CXX_STANDARD 20
  CXX_STANDARD_REQUIRED ON
  CXX_EXTENSIONS OFF
  C_STANDARD 11
  C_STANDARD_REQUIRED ON)
target_include_directories(zendra_sys_objects PRIVATE "${PROJECT_SOURCE_DIR}/zendra")
# SYSTEM: warnings inside the kit headers are mingw's, not ours.
target_include_directories(zendra_sys_objects SYSTEM PRIVATE "${ZENDRA_DDK_INCLUDE_DIR}")
target_compile_definitions(zendra_sys_objects PRIVATE ${ZENDRA_KERNEL_DEFINITIONS})
target_compile_options(zendra_sys_objects PRIVATE ${ZENDRA_KERNEL_COMPILE_OPTIONS})

# An executable rather than a DLL: the image carries no IMAGE_FILE_DLL flag
# and exports nothing, as a driver should.
function(zendra_add_driver_image target directory)
  add_executable(${target} $<TARGET_OBJECTS:zendra_sys_objects>)
  set_target_properties(${target} PROPERTIES
    OUTPUT_NAME zendra
    SUFFIX .sys
    RUNTIME_OUTPUT_DIRECTORY "${directory}"
    LINKER_LANGUAGE CXX)
  target_link_options(${target} PRIVATE ${ZENDRA_KERNEL_LINK_OPTIONS} ${ZENDRA_REPRODUCIBLE_LINK_OPTIONS})
  target_link_libraries(${target} PRIVATE ${ZENDRA_KERNEL_LIBRARIES})
endfunction()
# build/windows-x86/zendra.sys, build/windows-x64/zendra.sys
zendra_add_driver_image(zendra_sys "${CMAKE_BINARY_DIR}")
zendra_add_driver_image(zendra_sys_relink "${CMAKE_BINARY_DIR}/relink")

# The build folder is the driver package: zendra.sys, zendraprops.dll and
# the INF that installs them (tests/package/Inf_test.cpp holds it to them).
configure_file("${PROJECT_SOURCE_DIR}/inf/zendra.inf" "${CMAKE_BINARY_DIR}/zendra.inf" COPYONLY)

# ---------------------------------------------------------------------------
# The kit check: the list of layouts and values the host build holds the
# emulated headers to (tests/platform/kit_layout.cpp), compiled here against
# the kit headers the driver is built with. It produces no code; a line that
# does not hold fails the build.
# ---------------------------------------------------------------------------
add_library(zendra_kit_check OBJECT "${PROJECT_SOURCE_DIR}/tests/platform/kit_layout.cpp")
set_target_properties(zendra_kit_check PROPERTIES
  CXX_STANDARD 20
  CXX_STANDARD_REQUIRED ON
  CXX_EXTENSIONS OFF)
target_include_directories(zendra_kit_check PRIVATE "${PROJECT_SOURCE_DIR}/zendra")
target_include_directories(zendra_kit_check SYSTEM PRIVATE "${ZENDRA_DDK_INCLUDE_DIR}")
target_compile_definitions(zendra_kit_check PRIVATE ${ZENDRA_KERNEL_DEFINITIONS})
target_compile_options(zendra_kit_check PRIVATE ${ZENDRA_KERNEL_COMPILE_OPTIONS})

# ---------------------------------------------------------------------------
# zendraprops.dll: the "Advanced" property page (proppage/), user-mode C.
#
# No C runtime either: the entry point is DllMain itself, the exports are
# the undecorated names of proppage/zendraprops.def, and sprintf and the
# string routines come from ntdll.dll through an import library made from
# proppage/ntdll.def (mingw-w64's ntdll import library leaves them out).
# -fno-builtin keeps the calls the source makes (gcc would otherwise turn
# sprintf(buffer, "%s", s) into a strcpy of its own choosing).
# ---------------------------------------------------------------------------
set(ZENDRA_PROPS_NTDLL_LIB "${CMAKE_BINARY_DIR}/libzendraprops_ntdll.a")
add_custom_command(OUTPUT "${ZENDRA_PROPS_NTDLL_LIB}"
  COMMAND ${ZENDRA_MINGW_TRIPLET}-dlltool --input-def "${PROJECT_SOURCE_DIR}/proppage/ntdll.def"
          --dllname ntdll.dll --output-lib "${ZENDRA_PROPS_NTDLL_LIB}"
  DEPENDS "${PROJECT_SOURCE_DIR}/proppage/ntdll.def"
  COMMENT "Import library of the ntdll routines zendraprops uses")
add_custom_target(zendraprops_ntdll DEPENDS "${ZENDRA_PROPS_NTDLL_LIB}")

enable_language(RC)
if(ZENDRA_WINDOWS_ARCH STREQUAL "x86")
  # DllMain is __stdcall: the loader pops its 12 bytes of arguments.
  set(ZENDRA_PROPS_ENTRY _DllMain@12)
  set(ZENDRA_PROPS_IMAGE_BASE 0x10000000)
  # The .def names the undecorated exports; let ld bind them to the
  # stdcall symbols without a warning each.
  set(ZENDRA_PROPS_ARCH_LINK_OPTIONS -Wl,--enable-stdcall-fixup)
else()
  set(ZENDRA_PROPS_ENTRY DllMain)
  set(ZENDRA_PROPS_IMAGE_BASE 0x180000000)
  set(ZENDRA_PROPS_ARCH_LINK_OPTIONS -Wl,--high-entropy-va)
endif()

add_library(zendraprops_objects OBJECT "${PROJECT_SOURCE_DIR}/proppage/proppage.c"
  "${PROJECT_SOURCE_DIR}/proppage/zendraprops.rc")
set_target_properties(zendraprops_objects PROPERTIES C_STANDARD 11 C_STANDARD_REQUIRED ON C_EXTENSIONS OFF)
target_include_directories(zendraprops_objects PRIVATE "${PROJECT_SOURCE_DIR}/zendra" "${PROJECT_SOURCE_DIR}/proppage")
target_compile_options(zendraprops_objects PRIVATE
  $<$<COMPILE_LANGUAGE:C>:-Wall -Wextra -Werror -fno-builtin -fno-stack-protector -Wframe-larger-than=1024>)
if(ZENDRA_WINDOWS_ARCH STREQUAL "x86")
  # 32-bit Windows unwinds without tables; gcc's would be DWARF .eh_frame.
  target_compile_options(zendraprops_objects PRIVATE
    $<$<COMPILE_LANGUAGE:C>:-fno-asynchronous-unwind-tables -fno-unwind-tables>)
endif()
# x64 keeps them: the ABI wants a function table entry (.pdata) for every
# non-leaf function, so the system can unwind through the page's frames
# when a window procedure call fails.

set(ZENDRA_PROPS_LINK_OPTIONS
  ${ZENDRA_BARE_IMAGE_LINK_OPTIONS}
  -Wl,--subsystem,windows
  -Wl,--entry,${ZENDRA_PROPS_ENTRY}
  # A fixed preferred base: ld would otherwise derive one from the output
  # file's name, path included. The loader relocates the DLL anyway.
  -Wl,--image-base,${ZENDRA_PROPS_IMAGE_BASE}
  ${ZENDRA_PROPS_ARCH_LINK_OPTIONS})
set(ZENDRA_PROPS_LIBRARIES setupapi comctl32 user32 kernel32 "${ZENDRA_PROPS_NTDLL_LIB}")

function(zendra_add_props_dll target directory)
  add_library(${target} SHARED $<TARGET_OBJECTS:zendraprops_objects>
    "${PROJECT_SOURCE_DIR}/proppage/zendraprops.def")
  add_dependencies(${target} zendraprops_ntdll)
  set_target_properties(${target} PROPERTIES
    PREFIX "" OUTPUT_NAME zendraprops SUFFIX .dll
    RUNTIME_OUTPUT_DIRECTORY "${directory}"
    LINKER_LANGUAGE C)
  target_link_options(${target} PRIVATE ${ZENDRA_PROPS_LINK_OPTIONS} ${ZENDRA_REPRODUCIBLE_LINK_OPTIONS})
  target_link_libraries(${target} PRIVATE ${ZENDRA_PROPS_LIBRARIES})
endfunction()
zendra_add_props_dll(zendraprops "${CMAKE_BINARY_DIR}")
zendra_add_props_dll(zendraprops_relink "${CMAKE_BINARY_DIR}/relink")

# ---------------------------------------------------------------------------
# Image checks from inside the cross build (ctest --preset windows-x86|x64).
#
# pecheck is a host program, built by the host build (preset "host"); the
# cross build cannot compile it. The test fails, rather than skips, when that
# binary is missing, so a green run always means the image was looked at. The
# host build runs the same checks as pe_zendra_sys_x86 / pe_zendra_sys_x64.
# ---------------------------------------------------------------------------
set(ZENDRA_PECHECK "${PROJECT_SOURCE_DIR}/build/host/tools/pecheck/pecheck"
  CACHE FILEPATH "Host-built pecheck that checks zendra.sys")
include("${PROJECT_SOURCE_DIR}/tools/pecheck/zendra-sys-profile.cmake")
if(ZENDRA_WINDOWS_ARCH STREQUAL "x86")
  set(_zendra_pe_machine i386)
else()
  set(_zendra_pe_machine amd64)
endif()
enable_testing()
add_test(NAME pe_zendra_sys_${ZENDRA_WINDOWS_ARCH}
  COMMAND "${ZENDRA_PECHECK}" --expect-machine ${_zendra_pe_machine}
          ${ZENDRA_SYS_PECHECK_ARGS} "$<TARGET_FILE:zendra_sys>")
include("${PROJECT_SOURCE_DIR}/tools/pecheck/zendraprops-profile.cmake")
add_test(NAME pe_zendraprops_dll_${ZENDRA_WINDOWS_ARCH}
  COMMAND "${ZENDRA_PECHECK}" --expect-machine ${_zendra_pe_machine}
          ${ZENDRAPROPS_PECHECK_ARGS} "$<TARGET_FILE:zendraprops>")
foreach(_image zendra_sys zendraprops)
  add_test(NAME pe_reproducible_${_image}_${ZENDRA_WINDOWS_ARCH}
    COMMAND ${CMAKE_COMMAND} -E compare_files "$<TARGET_FILE:${_image}>" "$<TARGET_FILE:${_image}_relink>")
endforeach()

# ---------------------------------------------------------------------------
# The Win32 sample program, compiled (not linked) against mingw-w64's own
# windows.h. The host build runs the same file against the emulated Win32
# API; its layout checks (win32_layout.c) hold against both sets of headers,
# in 32-bit and 64-bit terms.
# ---------------------------------------------------------------------------
add_library(win32_sample_check OBJECT
  "${PROJECT_SOURCE_DIR}/samples/win32/comreader.c"
  "${PROJECT_SOURCE_DIR}/samples/win32/win32_layout.c")
set_target_properties(win32_sample_check PROPERTIES
  C_STANDARD 11
  C_STANDARD_REQUIRED ON
  C_EXTENSIONS OFF)
target_compile_options(win32_sample_check PRIVATE -Wall -Wextra -Werror)
