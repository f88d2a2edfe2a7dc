# Shared build settings: warnings, sanitizers and the test helpers.

set(SANITIZE "" CACHE STRING "Comma-separated sanitizers (address,undefined or thread)")

add_compile_options(-Wall -Wextra -Wshadow)
if(SANITIZE)
  add_compile_options(-fsanitize=${SANITIZE} -fno-omit-frame-pointer -fno-sanitize-recover=all)
  add_link_options(-fsanitize=${SANITIZE})
  if(SANITIZE MATCHES "thread")
    # Asio's headers use std::atomic_thread_fence, which the thread sanitizer
    # cannot model; g++ warns about it in every file that includes them.
    add_compile_options(-Wno-tsan)
  endif()
endif()

find_package(Threads REQUIRED)
if(BUILD_TESTING)
  find_package(GTest REQUIRED)
  include(GoogleTest)
endif()

# Discovered tests carry one label (a list does not survive discovery): the
# first of LABELS, or the default. "threads" selects the ThreadSanitizer pass.
function(_test_label out default labels)
  if(labels)
    list(GET labels 0 first)
    set(${out} ${first} PARENT_SCOPE)
  else()
    set(${out} ${default} PARENT_SCOPE)
  endif()
endfunction()

# add_unit_test(name SOURCES a.cpp ... LIBS lib ... [LABELS l ...])
# One GoogleTest executable; every TEST in it becomes a CTest case.
function(add_unit_test name)
  cmake_parse_arguments(T "" "" "SOURCES;LIBS;LABELS" ${ARGN})
  add_executable(${name} ${T_SOURCES})
  target_link_libraries(${name} PRIVATE ${T_LIBS} test_support GTest::gtest GTest::gtest_main Threads::Threads)
  target_include_directories(${name} PRIVATE ${PROJECT_SOURCE_DIR})
  _test_label(label unit "${T_LABELS}")
  gtest_discover_tests(${name} DISCOVERY_TIMEOUT 60 PROPERTIES LABELS ${label} TIMEOUT 300)
endfunction()

# add_e2e_test(name SOURCES a.cpp ... [LABELS l ...])
# A GoogleTest executable that drives the built programs; their paths arrive as
# VANTRIP_BIN, TORIL_BIN and QUARVEL_BIN (empty when that program is not built).
function(add_e2e_test name)
  cmake_parse_arguments(T "" "" "SOURCES;LIBS;LABELS" ${ARGN})
  add_executable(${name} ${T_SOURCES})
  target_link_libraries(${name} PRIVATE ${T_LIBS} test_support GTest::gtest GTest::gtest_main Threads::Threads)
  target_include_directories(${name} PRIVATE ${PROJECT_SOURCE_DIR})
  foreach(prog vantrip toril quarvel)
    string(TOUPPER ${prog} up)
    if(TARGET ${prog})
      target_compile_definitions(${name} PRIVATE ${up}_BIN="$<TARGET_FILE:${prog}>")
      add_dependencies(${name} ${prog})
    else()
      target_compile_definitions(${name} PRIVATE ${up}_BIN="")
    endif()
  endforeach()
  _test_label(label e2e "${T_LABELS}")
  gtest_discover_tests(${name} DISCOVERY_TIMEOUT 60 PROPERTIES LABELS ${label} TIMEOUT 300)
endfunction()
