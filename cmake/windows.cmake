# OVPatcher.exe, the fake suite programs, the Windows test programs and benchmarks (mingw-w64 i686).
enable_language(RC)
set(CMAKE_RC_FLAGS "${CMAKE_RC_FLAGS} -c 65001 -I${CMAKE_SOURCE_DIR}/src -I${CMAKE_SOURCE_DIR}/src/app")

add_compile_definitions(UNICODE _UNICODE NOMINMAX WIN32_LEAN_AND_MEAN _WIN32_WINNT=0x0601 WINVER=0x0601 _WIN32_IE=0x0600)
add_compile_options(-Wall -Wextra -Wno-cast-function-type -ffunction-sections -fdata-sections)
add_link_options(-static -Wl,--gc-sections)
# The shipped program asks no object its type at run time (exceptions carry their own type information):
# without the tables for every class it is smaller. The tests keep them for GoogleTest.
if(OV_THREADS STREQUAL "win32")
  add_compile_options(-fno-rtti)
endif()
set(OV_WIN_LIBS comctl32 comdlg32 shell32 ole32 oleaut32 uuid psapi advapi32 gdi32 user32 shlwapi)

set(OV_TOOLS_DIR "${CMAKE_BINARY_DIR}/../tools" CACHE PATH "Folder with the real archiver (7z/7z.exe, 7z/7z.dll)")
get_filename_component(OV_TOOLS_DIR "${OV_TOOLS_DIR}" ABSOLUTE)
set(OV_NATIVE_DIR "" CACHE PATH "Native build whose core tests run in the same test run")
set(OV_CLI_DIR "${CMAKE_BINARY_DIR}/../cli" CACHE PATH "Release build of ovpatch, run once beside the sanitizer build")
get_filename_component(OV_CLI_DIR "${OV_CLI_DIR}" ABSOLUTE)
set(OV_FUZZ_DIR "" CACHE PATH "Fuzz build whose targets get a smoke run in the same test run")
set(OV_FUZZ_SECONDS 5 CACHE STRING "Seconds per fuzz target in the smoke run")
set(OV_TEST_TIMEOUT 300 CACHE STRING "Time limit of one test program, in seconds")
set(OV_PRODUCT_EXE "" CACHE FILEPATH "The 32-bit OVPatcher.exe whose imports are checked (default: this build's)")

function(ov_winpath out path)
  string(REPLACE "/" "\\" p "${path}")
  set(${out} "Z:${p}" PARENT_SCOPE)
endfunction()
if(CMAKE_SIZEOF_VOID_P EQUAL 8)
  ov_winpath(OV_7Z_DIR_WIN "${OV_TOOLS_DIR}/7z-x64")
else()
  ov_winpath(OV_7Z_DIR_WIN "${OV_TOOLS_DIR}/7z")
endif()
ov_winpath(OV_BUILD_DIR_WIN "${CMAKE_BINARY_DIR}")
ov_winpath(OV_SOURCE_DIR_WIN "${CMAKE_SOURCE_DIR}")
# The program the end-to-end tests start: where the tests are 32-bit, the shipped file itself (built with
# the win32 thread model in its own folder); elsewhere this build's x86_64 program.
if(OV_PRODUCT_EXE AND CMAKE_SIZEOF_VOID_P EQUAL 4)
  set(OV_E2E_PRODUCT "${OV_PRODUCT_EXE}")
else()
  set(OV_E2E_PRODUCT "${CMAKE_BINARY_DIR}/OVPatcher.exe")
endif()
ov_winpath(OV_E2E_PRODUCT_WIN "${OV_E2E_PRODUCT}")
file(WRITE ${CMAKE_BINARY_DIR}/e2e_product.txt "${OV_E2E_PRODUCT}\n")
set(OV_TEST_ENV "OV_7Z_DIR=${OV_7Z_DIR_WIN}" "OV_BUILD_DIR=${OV_BUILD_DIR_WIN}" "OV_SOURCE_DIR=${OV_SOURCE_DIR_WIN}"
    "OV_PRODUCT_EXE=${OV_E2E_PRODUCT_WIN}")

ov_core_library()
add_library(ovshell STATIC ${OV_SHELL_SRC} ${CMAKE_SOURCE_DIR}/cmake/empty.cpp)
target_include_directories(ovshell PUBLIC ${CMAKE_SOURCE_DIR}/src)
target_link_libraries(ovshell PUBLIC ovcore ${OV_WIN_LIBS})

# The program. Release flags keep it small: every patch carries a copy of it.
file(GLOB OV_APP_SRC CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/src/app/*_win.cpp)
add_executable(OVPatcher WIN32 ${OV_APP_SRC} ${CMAKE_SOURCE_DIR}/src/app/ovpatcher.rc)
target_link_libraries(OVPatcher PRIVATE ovshell)
# Relocations kept and the DEP and ASLR flags set: ld of this age strips .reloc from programs unless
# asked, and without relocations the ASLR flag means nothing. The map feeds scripts/size_breakdown.sh.
target_link_options(OVPatcher PRIVATE -municode -mwindows -s -Wl,--dynamicbase -Wl,--nxcompat
                    -Wl,-Map=${CMAKE_BINARY_DIR}/OVPatcher.map)
file(GLOB OV_RC_DEPS CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/src/*/*.rc ${CMAKE_SOURCE_DIR}/src/*/*.h
     ${CMAKE_SOURCE_DIR}/src/app/*.manifest ${CMAKE_SOURCE_DIR}/src/app/*.ico ${CMAKE_SOURCE_DIR}/src/patcher/logo.rle)
set_source_files_properties(${CMAKE_SOURCE_DIR}/src/app/ovpatcher.rc PROPERTIES OBJECT_DEPENDS "${OV_RC_DEPS}")
add_custom_command(TARGET OVPatcher POST_BUILD
  COMMAND sh ${CMAKE_SOURCE_DIR}/scripts/print_size.sh $<TARGET_FILE:OVPatcher>
  VERBATIM)
if(EXISTS ${CMAKE_SOURCE_DIR}/src/maker/PatchLang.xml)
  add_custom_command(TARGET OVPatcher POST_BUILD
    COMMAND ${CMAKE_COMMAND} -E copy ${CMAKE_SOURCE_DIR}/src/maker/PatchLang.xml ${CMAKE_BINARY_DIR}/PatchLang.xml)
endif()

# A build with the win32 thread model makes only the program: GoogleTest needs the posix one.
if(OV_THREADS STREQUAL "win32")
  return()
endif()

set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
set(gtest_disable_pthreads OFF CACHE BOOL "" FORCE)
add_subdirectory(${GTEST_SRC} ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)

enable_testing()

# Fake suite programs, one GUI program per file.
file(GLOB OV_FAKES CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/tests/fakes/*.cpp)
set(OV_FAKE_TARGETS "")
foreach(src ${OV_FAKES})
  get_filename_component(name ${src} NAME_WE)
  add_executable(${name} WIN32 ${src})
  target_include_directories(${name} PRIVATE ${CMAKE_SOURCE_DIR}/tests/fakes ${CMAKE_SOURCE_DIR}/src)
  target_link_libraries(${name} PRIVATE ${OV_WIN_LIBS})
  target_link_options(${name} PRIVATE -municode -mwindows -s)
  set_target_properties(${name} PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/fakes)
  list(APPEND OV_FAKE_TARGETS ${name})
endforeach()

# Where the tests are 32-bit, the ordinary tool a second time as a 64-bit program (fakes/x64/), so that an
# apply shows the 32-bit patcher closing and replacing a 64-bit program of the suite.
if(CMAKE_SIZEOF_VOID_P EQUAL 4)
  set(OV_FAKE64 ${CMAKE_BINARY_DIR}/fakes/x64/fake_tool.exe)
  add_custom_command(OUTPUT ${OV_FAKE64}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/fakes/x64
    COMMAND x86_64-w64-mingw32-g++-posix -std=c++20 -Os -municode -mwindows -static -s
            -DUNICODE -D_UNICODE -DNOMINMAX -DWIN32_LEAN_AND_MEAN -D_WIN32_WINNT=0x0601
            -I${CMAKE_SOURCE_DIR}/tests/fakes -I${CMAKE_SOURCE_DIR}/src
            ${CMAKE_SOURCE_DIR}/tests/fakes/fake_tool.cpp -o ${OV_FAKE64} -lpsapi -lshell32 -luser32
    DEPENDS ${CMAKE_SOURCE_DIR}/tests/fakes/fake_tool.cpp ${CMAKE_SOURCE_DIR}/tests/fakes/fake_common.h
    VERBATIM)
  add_custom_target(fake_tool_x64 DEPENDS ${OV_FAKE64})
  list(APPEND OV_FAKE_TARGETS fake_tool_x64)
endif()

function(ov_test_program name)
  target_include_directories(${name} PRIVATE ${CMAKE_SOURCE_DIR}/tests ${CMAKE_SOURCE_DIR}/src)
  target_link_libraries(${name} PRIVATE ovshell gtest_main)
  add_test(NAME ${name} COMMAND ${name})
  set_tests_properties(${name} PROPERTIES TIMEOUT ${OV_TEST_TIMEOUT} ENVIRONMENT "${OV_TEST_ENV}")
  add_dependencies(${name} OVPatcher ${OV_FAKE_TARGETS})
endfunction()

# The core tests again, built by mingw: the Windows build is the reference for code-unit behaviour.
add_executable(core_tests_win ${OV_CORE_TESTS})
target_compile_definitions(core_tests_win PRIVATE OV_SOURCE_DIR="${CMAKE_SOURCE_DIR}")
ov_test_program(core_tests_win)

# One program per test folder for the Win32 side.
file(GLOB OV_TEST_DIRS LIST_DIRECTORIES true ${CMAKE_SOURCE_DIR}/tests/*)
foreach(dir ${OV_TEST_DIRS})
  get_filename_component(folder ${dir} NAME)
  if(NOT IS_DIRECTORY ${dir} OR folder STREQUAL "e2e" OR folder STREQUAL "fakes")
    continue()
  endif()
  file(GLOB srcs CONFIGURE_DEPENDS ${dir}/*_win_test.cpp)
  if(srcs)
    add_executable(${folder}_win_tests ${srcs} ${CMAKE_SOURCE_DIR}/src/app/ovpatcher.rc)
    ov_test_program(${folder}_win_tests)
  endif()
endforeach()

# End-to-end programs: each drives the real OVPatcher.exe through its windows.
file(GLOB OV_E2E CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/tests/e2e/*_e2e.cpp)
file(GLOB OV_E2E_HARNESS CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/tests/e2e/harness/*.cpp)
if(OV_E2E_HARNESS)
  add_library(ove2e STATIC ${OV_E2E_HARNESS})
  target_include_directories(ove2e PUBLIC ${CMAKE_SOURCE_DIR}/tests ${CMAKE_SOURCE_DIR}/src)
  target_link_libraries(ove2e PUBLIC ovshell gtest)
endif()
foreach(src ${OV_E2E})
  get_filename_component(name ${src} NAME_WE)
  add_executable(${name} ${src})
  if(OV_E2E_HARNESS)
    target_link_libraries(${name} PRIVATE ove2e)
  endif()
  ov_test_program(${name})
endforeach()

# Benchmarks print their figures; they are not tests.
file(GLOB OV_BENCH CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/bench/bench_*.cpp)
# The delta benchmark is a native program (cli build).
list(FILTER OV_BENCH EXCLUDE REGEX "/bench_delta\\.cpp$")
file(GLOB OV_BENCH_COMMON CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/bench/common/*.cpp)
# The start-up benchmark's reference, linked as the program is.
add_executable(min_dialog WIN32 ${CMAKE_SOURCE_DIR}/bench/reference/min_dialog.cpp)
target_link_options(min_dialog PRIVATE -municode -mwindows -s)
set_target_properties(min_dialog PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/bench)
foreach(src ${OV_BENCH})
  get_filename_component(name ${src} NAME_WE)
  add_executable(${name} ${src} ${OV_BENCH_COMMON})
  target_include_directories(${name} PRIVATE ${CMAKE_SOURCE_DIR}/bench ${CMAKE_SOURCE_DIR}/src ${CMAKE_SOURCE_DIR}/tests)
  target_link_libraries(${name} PRIVATE ovshell)
  add_dependencies(${name} OVPatcher min_dialog ${OV_FAKE_TARGETS})
  set_target_properties(${name} PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/bench)
endforeach()

# Checks that need no Wine.
add_test(NAME core_has_no_windows_headers COMMAND sh ${CMAKE_SOURCE_DIR}/scripts/check_core_headers.sh ${CMAKE_SOURCE_DIR})
if(OV_PRODUCT_EXE)
  add_test(NAME import_table COMMAND sh ${CMAKE_SOURCE_DIR}/scripts/check_imports.sh ${OV_PRODUCT_EXE})
  add_test(NAME image_size COMMAND sh ${CMAKE_SOURCE_DIR}/scripts/print_size.sh --check ${OV_PRODUCT_EXE})
else()
  add_test(NAME import_table COMMAND sh ${CMAKE_SOURCE_DIR}/scripts/check_imports.sh $<TARGET_FILE:OVPatcher>)
endif()

# The native core tests and a short run of every fuzz target join the same test run.
if(OV_NATIVE_DIR)
  add_test(NAME core_tests_native COMMAND ${OV_NATIVE_DIR}/core_tests)
  set_tests_properties(core_tests_native PROPERTIES TIMEOUT ${OV_TEST_TIMEOUT})
  # The native ovpatch, the sanitizer build and the release build alike, builds the patch that the maker
  # window built in maker_build_e2e; they must agree.
  add_test(NAME ovpatch_same_as_maker
    COMMAND sh ${CMAKE_SOURCE_DIR}/scripts/ovpatch_same.sh ${CMAKE_BINARY_DIR}/ovpatch_same ${OV_NATIVE_DIR}/ovpatch
            ${OV_CLI_DIR}/ovpatch)
  set_tests_properties(maker_build_e2e PROPERTIES FIXTURES_SETUP maker_patch)
  set_tests_properties(ovpatch_same_as_maker PROPERTIES FIXTURES_REQUIRED maker_patch TIMEOUT ${OV_TEST_TIMEOUT})
  # diff, build and plan on two releases, then the patcher applies the patch to a copy of the old one.
  if(CMAKE_SIZEOF_VOID_P EQUAL 8)
    set(ov_7z_dir "${OV_TOOLS_DIR}/7z-x64")
  else()
    set(ov_7z_dir "${OV_TOOLS_DIR}/7z")
  endif()
  add_test(NAME ovpatch_release
    COMMAND sh ${CMAKE_SOURCE_DIR}/scripts/ovpatch_release.sh ${OV_NATIVE_DIR}/ovpatch $<TARGET_FILE:OVPatcher>
            ${CMAKE_SOURCE_DIR}/src/maker/PatchLang.xml ${ov_7z_dir} ${CMAKE_BINARY_DIR}/ovpatch_release
            $<TARGET_FILE:apply_protocol_e2e>)
  set_tests_properties(ovpatch_release PROPERTIES TIMEOUT ${OV_TEST_TIMEOUT} ENVIRONMENT "${OV_TEST_ENV}")
endif()
if(OV_FUZZ_DIR)
  foreach(src ${OV_FUZZ_TARGETS})
    get_filename_component(name ${src} NAME_WE)
    string(REGEX REPLACE "^fuzz_" "" corpus ${name})
    add_test(NAME ${name}_smoke
      COMMAND sh ${CMAKE_SOURCE_DIR}/scripts/fuzz_run.sh ${OV_FUZZ_DIR}/${name} ${CMAKE_SOURCE_DIR}/fuzz/corpus/${corpus} ${OV_FUZZ_SECONDS})
    set_tests_properties(${name}_smoke PROPERTIES TIMEOUT ${OV_TEST_TIMEOUT})
  endforeach()
endif()
include(${CMAKE_SOURCE_DIR}/cmake/demo.cmake)
