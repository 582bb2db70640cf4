# Host build: the driver's sources compiled against the emulated Windows
# platform, the platform itself, the tools and every test.
set(CMAKE_CXX_STANDARD 20)
set(CMAKE_CXX_STANDARD_REQUIRED ON)
set(CMAKE_CXX_EXTENSIONS OFF)

option(ZENDRA_SANITIZE "Build with AddressSanitizer and UndefinedBehaviorSanitizer" OFF)
option(ZENDRA_TSAN "Build with ThreadSanitizer (free-running programs: zendra-sim, zendra-bench)" OFF)
if(ZENDRA_SANITIZE AND ZENDRA_TSAN)
  message(FATAL_ERROR "ThreadSanitizer cannot be combined with AddressSanitizer: use one preset or the other")
endif()

find_package(Threads REQUIRED)
find_package(GTest REQUIRED)
include(GoogleTest)
enable_testing()

# WCHAR is 16 bits on Windows; the driver, the platform and the tests use
# wide literals, so they all see the same 16-bit wchar_t. None of them may
# call the C library's wide functions (built for 32-bit wchar_t).
add_compile_options(-fshort-wchar -Wall -Wextra -Werror)
if(ZENDRA_SANITIZE)
  add_compile_options(-fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=undefined)
  add_link_options(-fsanitize=address,undefined)
endif()
if(ZENDRA_TSAN)
  # Races only matter where threads really run at once: the free-running
  # mode. scripts/tsan.sh runs zendra-sim and zendra-bench so, with the
  # accepted races listed in tests/tsan.supp.
  add_compile_options(-fsanitize=thread -fno-omit-frame-pointer)
  add_link_options(-fsanitize=thread)
endif()

# User mode is split along the system-call boundary: platform/user/nt (the
# system services, kernel side) belongs to the platform; platform/user/
# kernel32, setupapi, user32 and comctl32 are Win32 code compiled against the
# Win32 headers only, and platform/user/host (the machine a Win32 program
# runs on) needs zendra.
file(GLOB_RECURSE ZENDRA_PLATFORM_SOURCES CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/platform/*.cpp)
list(FILTER ZENDRA_PLATFORM_SOURCES EXCLUDE REGEX "/platform/user/(kernel32|setupapi|user32|comctl32|host)/")
add_library(emu STATIC ${ZENDRA_PLATFORM_SOURCES})
target_include_directories(emu PUBLIC ${CMAKE_SOURCE_DIR}/platform/include ${CMAKE_SOURCE_DIR}/platform)
target_link_libraries(emu PUBLIC Threads::Threads)

# The driver, exactly the sources of zendra.sys.
add_library(zendra_host STATIC ${ZENDRA_DRIVER_SOURCES})
target_include_directories(zendra_host PUBLIC ${CMAKE_SOURCE_DIR}/zendra)
target_link_libraries(zendra_host PUBLIC emu)

# The emulated Win32 API: kernel32, SetupAPI, user32, comctl32, and the
# host's Device Manager that shows a device's property pages. LINK_ONLY
# keeps the kernel's include folders (wdm.h, its ntddser.h) away from the
# Win32 side.
file(GLOB ZENDRA_WIN32_SOURCES CONFIGURE_DEPENDS
  ${CMAKE_SOURCE_DIR}/platform/user/kernel32/*.cpp ${CMAKE_SOURCE_DIR}/platform/user/setupapi/*.cpp
  ${CMAKE_SOURCE_DIR}/platform/user/user32/*.cpp ${CMAKE_SOURCE_DIR}/platform/user/comctl32/*.cpp)
add_library(win32_emu STATIC ${ZENDRA_WIN32_SOURCES} ${CMAKE_SOURCE_DIR}/platform/user/host/device_manager.cpp)
target_include_directories(win32_emu PUBLIC ${CMAKE_SOURCE_DIR}/platform/user/include)
target_include_directories(win32_emu PRIVATE ${CMAKE_SOURCE_DIR}/platform)
target_link_libraries(win32_emu PRIVATE $<LINK_ONLY:emu>)

# The machine Win32 programs run on: its header is free of both sides'
# headers, its implementation loads zendra.
add_library(win32host STATIC ${CMAKE_SOURCE_DIR}/platform/user/host/win32_host.cpp)
target_link_libraries(win32host PRIVATE zendra_host PUBLIC win32_emu)
target_include_directories(win32host INTERFACE ${CMAKE_SOURCE_DIR}/platform)

# zendraprops on the host: the property page's C code, compiled against the
# emulated Win32 headers, and its resource script compiled by mingw-w64's
# windres to the .res the emulated property sheet builds the page from (the
# Windows build links the same script into the DLL).
find_program(ZENDRA_WINDRES NAMES x86_64-w64-mingw32-windres i686-w64-mingw32-windres)
if(NOT ZENDRA_WINDRES)
  message(FATAL_ERROR "windres of mingw-w64 not found: run scripts/install-deps.sh")
endif()
set(ZENDRA_PROPS_RES "${CMAKE_BINARY_DIR}/zendraprops.res")
set(ZENDRA_PROPS_RES_C "${CMAKE_BINARY_DIR}/zendraprops_res.c")
add_custom_command(OUTPUT "${ZENDRA_PROPS_RES}"
  COMMAND "${ZENDRA_WINDRES}" -J rc -O res -I "${CMAKE_SOURCE_DIR}/proppage"
          -i "${CMAKE_SOURCE_DIR}/proppage/zendraprops.rc" -o "${ZENDRA_PROPS_RES}"
  DEPENDS "${CMAKE_SOURCE_DIR}/proppage/zendraprops.rc" "${CMAKE_SOURCE_DIR}/proppage/resource.h"
  COMMENT "Compiling the property page's resources")
add_custom_command(OUTPUT "${ZENDRA_PROPS_RES_C}"
  COMMAND ${CMAKE_COMMAND} -DINPUT=${ZENDRA_PROPS_RES} -DOUTPUT=${ZENDRA_PROPS_RES_C} -DNAME=zendraprops_res
          -P "${CMAKE_SOURCE_DIR}/cmake/embed_file.cmake"
  DEPENDS "${ZENDRA_PROPS_RES}" "${CMAKE_SOURCE_DIR}/cmake/embed_file.cmake")
add_library(zendraprops_host STATIC ${CMAKE_SOURCE_DIR}/proppage/proppage.c "${ZENDRA_PROPS_RES_C}"
  ${CMAKE_SOURCE_DIR}/platform/user/host/zendraprops_module.cpp)
set_target_properties(zendraprops_host PROPERTIES C_STANDARD 11 C_STANDARD_REQUIRED ON C_EXTENSIONS OFF)
target_include_directories(zendraprops_host PRIVATE ${CMAKE_SOURCE_DIR}/zendra ${CMAKE_SOURCE_DIR}/proppage
  ${CMAKE_SOURCE_DIR}/platform)
target_link_libraries(zendraprops_host PUBLIC win32_emu)

# zendra-sim: its story is a Win32 program and sees the Win32 headers only;
# the PnP walk-through sees the kernel's.
add_library(zendra_sim_win32 OBJECT sim/story.cpp sim/pos_app.cpp sim/session.cpp sim/advanced_page.cpp)
target_link_libraries(zendra_sim_win32 PRIVATE win32host zendraprops_host)
add_executable(zendra-sim sim/main.cpp sim/pnp_walk.cpp $<TARGET_OBJECTS:zendra_sim_win32>)
target_link_libraries(zendra-sim PRIVATE zendra_host $<LINK_ONLY:win32host> $<LINK_ONLY:zendraprops_host>)
# The story, deterministic and free-running: exit status 0 and every
# built-in barcode read, in order.
foreach(run IN ITEMS "seeded;--seed 1 --quick" "free;--quick")
  list(GET run 0 name)
  list(GET run 1 arguments)
  add_test(NAME zendra_sim_${name} COMMAND ${CMAKE_COMMAND} -DSIM=$<TARGET_FILE:zendra-sim> "-DARGS=${arguments}"
    -DBARCODES=${CMAKE_SOURCE_DIR}/sim/barcodes.inc -P ${CMAKE_SOURCE_DIR}/tests/sim/story_check.cmake)
  set_tests_properties(zendra_sim_${name} PROPERTIES TIMEOUT 120)
endforeach()

# zendra-bridge: the scanner's COM port as a Linux pseudo-terminal. Its COM
# side is a Win32 program; main.cpp and the pty see neither side's headers.
add_library(zendra_bridge_win32 OBJECT bridge/com_port.cpp)
target_link_libraries(zendra_bridge_win32 PRIVATE win32host)
add_executable(zendra-bridge bridge/main.cpp bridge/pty.cpp $<TARGET_OBJECTS:zendra_bridge_win32>)
target_link_libraries(zendra-bridge PRIVATE zendra_host $<LINK_ONLY:win32host>)
# A pyserial program (Debian's python3-serial, for the system's python3)
# reads barcodes scanned through the driver and writes to the scanner.
find_program(ZENDRA_SYSTEM_PYTHON python3 PATHS /usr/bin NO_DEFAULT_PATH REQUIRED)
add_test(NAME zendra_bridge_pyserial COMMAND ${ZENDRA_SYSTEM_PYTHON} ${CMAKE_SOURCE_DIR}/tests/bridge/Bridge_test.py
  $<TARGET_FILE:zendra-bridge>)
set_tests_properties(zendra_bridge_pyserial PROPERTIES TIMEOUT 120)

# zendra-bench: the figures scripts/bench.sh tabulates (not a test).
add_library(zendra_bench_win32 OBJECT bench/com_reader.cpp)
target_link_libraries(zendra_bench_win32 PRIVATE win32host)
add_executable(zendra-bench bench/main.cpp $<TARGET_OBJECTS:zendra_bench_win32>)
target_link_libraries(zendra-bench PRIVATE zendra_host $<LINK_ONLY:win32host>)

# pecheck checks the cross-built images; it also names where they are.
add_subdirectory(tools/pecheck)

# Tests written as Win32 programs (tests/user/win32, the driver's end-to-end
# tests in tests/driver/win32, and the sample) see the Win32 headers only;
# the rest of the suite sees the kernel's.
file(GLOB_RECURSE ZENDRA_WIN32_TEST_SOURCES CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/tests/user/win32/*.cpp
  ${CMAKE_SOURCE_DIR}/tests/driver/win32/*.cpp)
add_library(zendra_win32_tests OBJECT ${ZENDRA_WIN32_TEST_SOURCES}
  ${CMAKE_SOURCE_DIR}/samples/win32/comreader.c ${CMAKE_SOURCE_DIR}/samples/win32/win32_layout.c
  ${CMAKE_SOURCE_DIR}/tests/wine/comm_checks.c)
target_include_directories(zendra_win32_tests PRIVATE ${CMAKE_SOURCE_DIR}/tests ${CMAKE_SOURCE_DIR}/samples/win32)
# zendra/public.h: the control codes the driver shares with user mode.
target_include_directories(zendra_win32_tests PRIVATE ${CMAKE_SOURCE_DIR}/zendra)
target_link_libraries(zendra_win32_tests PRIVATE win32host zendraprops_host GTest::gtest)
# The sample's main() is called by a test on an application thread.
set_source_files_properties(${CMAKE_SOURCE_DIR}/samples/win32/comreader.c PROPERTIES
  COMPILE_DEFINITIONS main=comreader_main)

file(GLOB_RECURSE ZENDRA_TEST_SOURCES CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/tests/*.cpp)
list(FILTER ZENDRA_TEST_SOURCES EXCLUDE REGEX "/tests/(user|driver)/win32/")
add_executable(zendra_tests ${ZENDRA_TEST_SOURCES} $<TARGET_OBJECTS:zendra_win32_tests>)
target_include_directories(zendra_tests PRIVATE ${CMAKE_SOURCE_DIR}/tests)
target_link_libraries(zendra_tests PRIVATE zendra_host $<LINK_ONLY:win32host> $<LINK_ONLY:zendraprops_host>
  pecheck_core GTest::gtest)
# The manifest tests read the cross-built images (see tools/pecheck) and the
# platform's headers.
target_compile_definitions(zendra_tests PRIVATE
  ZENDRA_PLATFORM_INCLUDE_DIR="${CMAKE_SOURCE_DIR}/platform/include"
  ZENDRA_USER_INCLUDE_DIR="${CMAKE_SOURCE_DIR}/platform/user/include"
  ZENDRA_WINDOWS_X86_SYS="${ZENDRA_WINDOWS_X86_SYS}"
  ZENDRA_WINDOWS_X64_SYS="${ZENDRA_WINDOWS_X64_SYS}"
  ZENDRA_INF_FILE="${CMAKE_SOURCE_DIR}/inf/zendra.inf")
# Every test notes the verifier rules it expected and saw in a ledger; after
# all of them, rule_ledger_check fails naming each catalogued rule no test
# expects (a rule nothing would notice switched off). When only part of the
# suite ran, the check is skipped.
set(ZENDRA_RULE_LEDGER "${CMAKE_BINARY_DIR}/rule-ledger")
gtest_discover_tests(zendra_tests DISCOVERY_TIMEOUT 120 PROPERTIES TIMEOUT 300
  FIXTURES_REQUIRED rule_ledger ENVIRONMENT "ZENDRA_RULE_LEDGER=${ZENDRA_RULE_LEDGER}")
add_test(NAME rule_ledger_reset COMMAND ${CMAKE_COMMAND} -E rm -rf "${ZENDRA_RULE_LEDGER}")
set_tests_properties(rule_ledger_reset PROPERTIES FIXTURES_SETUP rule_ledger)
add_test(NAME rule_ledger_check COMMAND zendra_tests "--check-rule-ledger=${ZENDRA_RULE_LEDGER}")
set_tests_properties(rule_ledger_check PROPERTIES FIXTURES_CLEANUP rule_ledger SKIP_RETURN_CODE 77)

zendra_add_pe_checks()

# Editors and clang tools read the compile commands the presets export.
add_test(NAME compile_commands_exported COMMAND ${CMAKE_COMMAND} -E md5sum "${CMAKE_BINARY_DIR}/compile_commands.json")
