# Tests of the Qt window: the form driven offscreen, and the real program on an X server.
if(TARGET sorvend_window)
  find_package(Qt6 REQUIRED COMPONENTS Test Widgets)

  add_executable(form1_tests ${CMAKE_CURRENT_SOURCE_DIR}/app/form1_test.cpp)
  set_target_properties(form1_tests PROPERTIES AUTOMOC ON)
  target_link_libraries(form1_tests PRIVATE sorvend_window sorvend_test_support Qt6::Test)
  add_test(NAME form1_tests COMMAND form1_tests)
  set_tests_properties(form1_tests PROPERTIES ENVIRONMENT "QT_QPA_PLATFORM=offscreen")

  add_executable(results_tests ${CMAKE_CURRENT_SOURCE_DIR}/app/results_test.cpp)
  set_target_properties(results_tests PROPERTIES AUTOMOC ON)
  target_link_libraries(results_tests PRIVATE sorvend_window sorvend_test_support Qt6::Test)
  add_test(NAME results_tests COMMAND results_tests)
  set_tests_properties(results_tests PROPERTIES ENVIRONMENT "QT_QPA_PLATFORM=offscreen")
  # Makes the README's picture of the results window (not a test; see README.md).
  add_executable(results_screenshot ${CMAKE_CURRENT_SOURCE_DIR}/app/results_screenshot.cpp)
  target_link_libraries(results_screenshot PRIVATE sorvend_window)

  set(SORVEND_SMOKE ${CMAKE_CURRENT_SOURCE_DIR}/app/smoke_test.sh)
  add_test(NAME sorvend_no_display COMMAND sh ${SORVEND_SMOKE} no-display $<TARGET_FILE:sorvend>)

  # The real program under Xvfb; closed by a WM_DELETE_WINDOW message like a title bar's close
  # button sends. Skipped where xvfb-run or Xlib is missing.
  find_package(X11)
  if(X11_FOUND)
    add_executable(x11_close_window ${CMAKE_CURRENT_SOURCE_DIR}/app/x11_close_window.cpp)
    target_link_libraries(x11_close_window PRIVATE X11::X11)
    add_test(NAME sorvend_xvfb_smoke
      COMMAND sh ${SORVEND_SMOKE} xvfb $<TARGET_FILE:sorvend> $<TARGET_FILE:x11_close_window>)
  else()
    add_test(NAME sorvend_xvfb_smoke COMMAND sh -c "exit 77")
  endif()
  # On a real display Qt talks to the session bus; libdbus keeps a buffer until the process
  # ends, which LeakSanitizer would report in sanitizer builds.
  file(WRITE ${CMAKE_CURRENT_BINARY_DIR}/lsan_system.supp "leak:libdbus-1.so\n")
  set_tests_properties(sorvend_xvfb_smoke PROPERTIES SKIP_RETURN_CODE 77 TIMEOUT 120
    ENVIRONMENT "LSAN_OPTIONS=suppressions=${CMAKE_CURRENT_BINARY_DIR}/lsan_system.supp")
endif()
