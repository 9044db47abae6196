# Codec tests: worked blocks, reference comparisons and round trips.
add_executable(codec_test codec_test.cpp)
target_link_libraries(codec_test PRIVATE pelko_codec GTest::gtest_main)
gtest_discover_tests(codec_test)
