find_package(GTest REQUIRED)
include(GoogleTest)

# tovra_test(PREFIX SOURCES <files> LIBRARIES <targets> [PROPERTIES <name> <value>...]): a
# GoogleTest program of the files given, its cases ctest tests named PREFIX.<Suite>.<Case>, each
# with the properties given.
function(tovra_test prefix)
    cmake_parse_arguments(PARSE_ARGV 1 test "" "" "SOURCES;LIBRARIES;PROPERTIES")
    add_executable(tovra_${prefix}_tests ${test_SOURCES})
    target_include_directories(tovra_${prefix}_tests PRIVATE ${PROJECT_SOURCE_DIR}/tests)
    target_link_libraries(tovra_${prefix}_tests PRIVATE ${test_LIBRARIES} GTest::gtest GTest::gmock)
    set_target_properties(tovra_${prefix}_tests PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/tests)
    gtest_discover_tests(tovra_${prefix}_tests TEST_PREFIX ${prefix}. DISCOVERY_MODE PRE_TEST
                         PROPERTIES ${test_PROPERTIES})
endfunction()
