find_package(GTest REQUIRED)
include(GoogleTest)

# tarn_gtest(NAME LABEL label SOURCES ... [LIBS ...])
# One GoogleTest program; each of its tests becomes a CTest test carrying the subsystem label,
# so that `ctest -L genreg` runs one subsystem.
function(tarn_gtest name)
  cmake_parse_arguments(T "" "LABEL" "SOURCES;LIBS;LABELS" ${ARGN})
  add_executable(${name} ${T_SOURCES})
  target_link_libraries(${name} PRIVATE GTest::gtest GTest::gtest_main ${T_LIBS})
  # tests/support: helpers shared by the tests of every subsystem (temporary platform roots ...).
  target_include_directories(${name} PRIVATE ${PROJECT_SOURCE_DIR}/tests/support)
  set(labels ${T_LABEL} ${T_LABELS})
  gtest_discover_tests(${name}
    PROPERTIES LABELS "${labels}" ENVIRONMENT "TARN_BIN_DIR=${CMAKE_BINARY_DIR}/bin"
    DISCOVERY_TIMEOUT 60)
endfunction()
