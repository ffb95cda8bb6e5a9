# The demo's driver: builds a sample installation, drives the maker's and the patcher's windows and prints
# what happened. Not a test; `make demo` runs it.
if(OV_E2E_HARNESS)
  add_executable(demo_driver ${CMAKE_SOURCE_DIR}/tools/demo/demo_driver.cpp)
  target_include_directories(demo_driver PRIVATE ${CMAKE_SOURCE_DIR}/tests ${CMAKE_SOURCE_DIR}/src)
  target_link_libraries(demo_driver PRIVATE ove2e)
  add_dependencies(demo_driver OVPatcher ${OV_FAKE_TARGETS})
  set_target_properties(demo_driver PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/demo)
endif()
