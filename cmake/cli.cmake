# ovpatch as it ships for Linux x86_64: optimised and stripped, with the C++ and GCC runtimes linked in
# so that it runs on other distributions (only the C library comes from the system).
add_compile_options(-Wall -Wextra)
ov_core_library()
ov_cli_program()
target_link_options(ovpatch PRIVATE -static-libstdc++ -static-libgcc -s)

# The delta benchmark measures ovpatch's encoder, a native program like it (make bench runs it).
add_executable(bench_delta ${CMAKE_SOURCE_DIR}/bench/bench_delta.cpp)
target_link_libraries(bench_delta PRIVATE ovcli)
target_include_directories(bench_delta PRIVATE ${CMAKE_SOURCE_DIR}/tests)
