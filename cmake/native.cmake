# The core and its tests on Linux, under AddressSanitizer and UndefinedBehaviorSanitizer.
set(OV_SAN -fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=all)
add_compile_options(${OV_SAN} -Wall -Wextra)
add_link_options(${OV_SAN})

set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
add_subdirectory(${GTEST_SRC} ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)

ov_core_library()

# ovpatch; its tests join the core tests.
ov_cli_program()
file(GLOB OV_CLI_TESTS CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/tests/cli/*_test.cpp)

enable_testing()
add_executable(core_tests ${OV_CORE_TESTS} ${OV_CLI_TESTS})
target_include_directories(core_tests PRIVATE ${CMAKE_SOURCE_DIR}/tests)
target_link_libraries(core_tests PRIVATE ovcli gtest_main)
target_compile_definitions(core_tests PRIVATE OV_SOURCE_DIR="${CMAKE_SOURCE_DIR}" OVPATCH_EXE="$<TARGET_FILE:ovpatch>")
add_dependencies(core_tests ovpatch)
add_test(NAME core_tests COMMAND core_tests)
