# Shared build helpers.

# tavrin_gtest(NAME SOURCES... LIBS libs...)
# One GoogleTest executable, registered with CTest test by test.
function(tavrin_gtest name)
  cmake_parse_arguments(T "" "" "SOURCES;LIBS" ${ARGN})
  add_executable(${name} ${T_SOURCES})
  target_link_libraries(${name} PRIVATE ${T_LIBS} GTest::gtest GTest::gtest_main GTest::gmock)
  target_compile_definitions(${name} PRIVATE
    TAVRIN_SOURCE_DIR="${CMAKE_SOURCE_DIR}"
    TAVRIN_BINARY_DIR="${CMAKE_BINARY_DIR}")
  gtest_discover_tests(${name}
    WORKING_DIRECTORY "${CMAKE_CURRENT_BINARY_DIR}"
    DISCOVERY_TIMEOUT 60
    PROPERTIES TIMEOUT 600)
endfunction()

# tavrin_gtest_glob(LIBS libs...)
# One executable per *_test.cpp of the current directory, so that
# components adding tests to a shared directory never edit the same file.
function(tavrin_gtest_glob)
  cmake_parse_arguments(T "" "" "LIBS" ${ARGN})
  file(GLOB tests CONFIGURE_DEPENDS "${CMAKE_CURRENT_SOURCE_DIR}/*_test.cpp")
  foreach(src IN LISTS tests)
    get_filename_component(base "${src}" NAME_WE)
    tavrin_gtest(${base} SOURCES "${src}" LIBS ${T_LIBS})
  endforeach()
endfunction()
