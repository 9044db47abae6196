# Codec tests: worked blocks, reference comparisons and round trips.
add_executable(codec_test codec_test.cpp)
target_link_libraries(codec_test PRIVATE pelko_codec GTest::gtest_main)
gtest_discover_tests(codec_test DISCOVERY_TIMEOUT ${PELKO_DISCOVERY_TIMEOUT})

# The piece-by-piece and interleaved decoders against a plain reference.
add_executable(codec_stream_test codec_stream_test.cpp)
target_link_libraries(codec_stream_test PRIVATE pelko_codec GTest::gtest_main)
gtest_discover_tests(codec_stream_test DISCOVERY_TIMEOUT ${PELKO_DISCOVERY_TIMEOUT})
