add_executable(settings_tests
  ${CMAKE_CURRENT_LIST_DIR}/ini_store_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/settings_test.cpp)
target_link_libraries(settings_tests PRIVATE sorvend_settings sorvend_test_support GTest::gtest_main)
# Where the program itself lands, to check the settings file it would use.
target_compile_definitions(settings_tests PRIVATE
  SORVEND_SETTINGS_TESTS_EXE="$<TARGET_FILE:settings_tests>")
gtest_discover_tests(settings_tests DISCOVERY_TIMEOUT 120)
