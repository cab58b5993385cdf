# Included by ctest after the discovered tests are defined: the tests that
# play write the one preview file beside their binary (thumb/Tessaro), so
# they must not run at the same time.
foreach(_t IN LISTS test_playwin_TESTS test_playcommands_TESTS)
  set_tests_properties("${_t}" PROPERTIES RESOURCE_LOCK corvo_preview_file)
endforeach()
