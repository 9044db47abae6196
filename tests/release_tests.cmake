# Release checks: the manual page renders without warnings, every example in
# the README and the manual page runs as shown, the worked example of
# doc/FORMAT.md matches the program, and the bash completion offers what it
# should.
set(PELKO_RELEASE_TESTS ${CMAKE_CURRENT_SOURCE_DIR})

add_test(NAME release_man_renders
  COMMAND sh ${PELKO_RELEASE_TESTS}/release_man.sh ${PROJECT_SOURCE_DIR}/doc/pelko.1)
set_tests_properties(release_man_renders PROPERTIES SKIP_RETURN_CODE 77)

add_test(NAME release_readme_examples
  COMMAND sh ${PELKO_RELEASE_TESTS}/release_examples.sh ${PELKO_FOR_SCRIPTS} ${PROJECT_SOURCE_DIR}/README.md)
add_test(NAME release_man_examples
  COMMAND sh ${PELKO_RELEASE_TESTS}/release_examples.sh ${PELKO_FOR_SCRIPTS} ${PROJECT_SOURCE_DIR}/doc/pelko.1)
add_test(NAME release_examples_runner
  COMMAND sh ${PELKO_RELEASE_TESTS}/release_examples_selftest.sh ${PELKO_FOR_SCRIPTS}
          ${PELKO_RELEASE_TESTS}/release_examples.sh)

add_test(NAME release_completion
  COMMAND bash ${PELKO_RELEASE_TESTS}/release_completion.sh ${PELKO_FOR_SCRIPTS} ${PROJECT_SOURCE_DIR}/completion/pelko)

add_test(NAME release_format_example
  COMMAND sh ${PELKO_RELEASE_TESTS}/release_format_example.sh ${PELKO_FOR_SCRIPTS} ${PROJECT_SOURCE_DIR}/doc/FORMAT.md)
