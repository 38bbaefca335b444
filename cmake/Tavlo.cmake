# Shared helpers for our own targets.
set(TAVLO_WARNINGS -Wall -Wextra -Wpedantic -Werror)
if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
  # g++ 12 misreads Asio's coroutine frame allocator as a new/delete mismatch,
  # and at -O3 sees overlapping copies in std::string assignments that cannot overlap.
  list(APPEND TAVLO_WARNINGS -Wno-mismatched-new-delete -Wno-restrict)
endif()

# The tray module's folder below the prefix, the same in the build tree. Not
# lib/tavlo-companion itself: for a library directly in a folder of /usr/lib
# CPack's deb adds ldconfig calls to postinst and postrm, which lintian flags.
set(TAVLO_UI_MODULE_DIR lib/tavlo-companion/modules)

# tavlo_library(NAME [SOURCES ...] [DEPS ...]): one static library per src/ module.
function(tavlo_library name)
  cmake_parse_arguments(ARG "" "" "SOURCES;DEPS" ${ARGN})
  add_library(${name} STATIC ${ARG_SOURCES})
  target_include_directories(${name} PUBLIC ${PROJECT_SOURCE_DIR}/src)
  target_compile_options(${name} PRIVATE ${TAVLO_WARNINGS})
  target_link_libraries(${name} PUBLIC ${ARG_DEPS})
endfunction()

# tavlo_test(NAME [SOURCES ...] [DEPS ...]): a GoogleTest program registered with ctest.
function(tavlo_test name)
  cmake_parse_arguments(ARG "" "" "SOURCES;DEPS" ${ARGN})
  add_executable(${name} ${ARG_SOURCES})
  target_compile_options(${name} PRIVATE ${TAVLO_WARNINGS})
  target_link_libraries(${name} PRIVATE ${ARG_DEPS} GTest::gtest GTest::gmock GTest::gtest_main)
  # tests/support: what every test shares, included as "support/...".
  target_include_directories(${name} PRIVATE ${PROJECT_SOURCE_DIR}/tests)
  target_compile_definitions(${name} PRIVATE TAVLO_SOURCE_DIR="${PROJECT_SOURCE_DIR}")
  gtest_discover_tests(${name} DISCOVERY_TIMEOUT 60 PROPERTIES TIMEOUT 300)
endfunction()

# Asio as an interface target (header-only, standalone).
if(NOT TARGET tavlo_asio)
  add_library(tavlo_asio INTERFACE)
  target_compile_definitions(tavlo_asio INTERFACE ASIO_STANDALONE ASIO_NO_DEPRECATED)
  target_link_libraries(tavlo_asio INTERFACE Threads::Threads)
endif()
