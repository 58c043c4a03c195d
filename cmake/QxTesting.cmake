# qx_add_test(<name> SOURCES ... [LIBS ...] [WORKDIR dir])
#
# One GoogleTest executable = one CTest test.  In the Windows build the
# executable runs under Wine through CMAKE_CROSSCOMPILING_EMULATOR.
if(WIN32)
  if(NOT TARGET GTest::gtest)
    set(gtest_force_shared_crt OFF CACHE BOOL "" FORCE)
    set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
    set(BUILD_GMOCK ON CACHE BOOL "" FORCE)
    add_subdirectory(/usr/src/googletest ${CMAKE_BINARY_DIR}/_deps/googletest EXCLUDE_FROM_ALL)
    # GoogleTest's own CMake files define the GTest:: aliases.
  endif()
else()
  find_package(GTest REQUIRED)
endif()

# The shared main(): runs the tests, or a registered child role when started
# with --qx-child (multi-process tests spawn their own executable).
add_library(qx_test_scratch STATIC ${CMAKE_SOURCE_DIR}/tests/support/scratch.cpp)
target_include_directories(qx_test_scratch PUBLIC ${CMAKE_SOURCE_DIR})
add_library(qx_test_main STATIC ${CMAKE_SOURCE_DIR}/tests/support/qx_test_main.cpp)
target_include_directories(qx_test_main PUBLIC ${CMAKE_SOURCE_DIR})
target_link_libraries(qx_test_main PUBLIC GTest::gtest qx_platform qx_test_scratch)

function(qx_add_test name)
  cmake_parse_arguments(A "" "WORKDIR;TIMEOUT" "SOURCES;LIBS;LABELS" ${ARGN})
  add_executable(${name} ${A_SOURCES})
  # qx_test_main is an object library member with main(); whole-archive keeps
  # the child registrations of the test sources and main together.
  target_link_libraries(${name} PRIVATE qx_test_main GTest::gmock GTest::gtest ${A_LIBS})
  target_include_directories(${name} PRIVATE ${CMAKE_SOURCE_DIR}/include ${CMAKE_SOURCE_DIR})
  if(NOT A_WORKDIR)
    set(A_WORKDIR ${CMAKE_BINARY_DIR}/bin)
  endif()
  add_test(NAME ${name} COMMAND ${name} WORKING_DIRECTORY ${A_WORKDIR})
  if(NOT A_TIMEOUT)
    set(A_TIMEOUT 600)
  endif()
  set_tests_properties(${name} PROPERTIES TIMEOUT ${A_TIMEOUT})
  if(CMAKE_CROSSCOMPILING_EMULATOR)
    # The Wine runner exits 77 when a 32-bit program cannot run on this host.
    set_tests_properties(${name} PROPERTIES SKIP_RETURN_CODE 77)
  endif()
  if(A_LABELS)
    set_tests_properties(${name} PROPERTIES LABELS "${A_LABELS}")
  endif()
endfunction()
