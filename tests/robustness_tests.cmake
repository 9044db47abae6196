# Robustness: faults injected into runs of the built pelko, and SIGKILL at
# many points of the commands that rewrite an archive. The crash test's kill
# count comes from PELKO_CRASH_KILLS (a short run by default).
add_executable(fault_test fault_test.cpp)
target_link_libraries(fault_test PRIVATE cli_support GTest::gtest_main)
add_dependencies(fault_test pelko)
gtest_discover_tests(fault_test DISCOVERY_TIMEOUT ${PELKO_DISCOVERY_TIMEOUT})

add_executable(crash_test crash_test.cpp)
target_link_libraries(crash_test PRIVATE cli_support GTest::gtest_main)
add_dependencies(crash_test pelko)
gtest_discover_tests(crash_test DISCOVERY_TIMEOUT ${PELKO_DISCOVERY_TIMEOUT} PROPERTIES LABELS crash)
