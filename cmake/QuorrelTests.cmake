# quorrel_add_gtests(<dir> <libs...>): every <dir>/*_test.cpp becomes one
# GoogleTest executable linked against <libs>, registered with CTest.
function(quorrel_add_gtests dir)
  if(NOT QUORREL_BUILD_TESTS)
    return()
  endif()
  include(GoogleTest)
  file(GLOB _tests CONFIGURE_DEPENDS "${dir}/*_test.cpp")
  foreach(_src IN LISTS _tests)
    get_filename_component(_name "${_src}" NAME_WE)
    add_executable(${_name} "${_src}")
    target_link_libraries(${_name} PRIVATE ${ARGN} GTest::gtest GTest::gtest_main)
    target_compile_definitions(${_name} PRIVATE
      QUORREL_SOURCE_DIR="${PROJECT_SOURCE_DIR}"
      QUORREL_SHARED_DIR="${PROJECT_SOURCE_DIR}/../shared")
    gtest_discover_tests(${_name} DISCOVERY_MODE PRE_TEST DISCOVERY_TIMEOUT 60)
  endforeach()
endfunction()
