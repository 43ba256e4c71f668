# The Qt window. The form is a library of its own so that the program, its tests and the
# benchmark drive the same code.
# D-Bus asks the desktop's file manager to show an output selected in its folder.
find_package(Qt6 REQUIRED COMPONENTS Widgets DBus)
include(GNUInstallDirs)

add_library(sorvend_window STATIC
  ${CMAKE_CURRENT_SOURCE_DIR}/form1.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/form1.h
  ${CMAKE_CURRENT_SOURCE_DIR}/results_model.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/results_model.h
  ${CMAKE_CURRENT_SOURCE_DIR}/results_window.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/results_window.h
  ${CMAKE_CURRENT_SOURCE_DIR}/thumbnails.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/thumbnails.h)
set_target_properties(sorvend_window PROPERTIES AUTOMOC ON)
target_link_libraries(sorvend_window PUBLIC sorvend_engine sorvend_settings Qt6::Widgets
  PRIVATE Qt6::DBus)

add_executable(sorvend
  ${CMAKE_CURRENT_SOURCE_DIR}/main.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/icons/sorvend.qrc)
set_target_properties(sorvend PROPERTIES AUTORCC ON)
target_link_libraries(sorvend PRIVATE sorvend_window)

install(TARGETS sorvend RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(FILES ${CMAKE_CURRENT_SOURCE_DIR}/sorvend.desktop
  DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
install(FILES ${CMAKE_CURRENT_SOURCE_DIR}/icons/sorvend.svg
  DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps)
install(FILES ${CMAKE_CURRENT_SOURCE_DIR}/icons/sorvend.png
  DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/48x48/apps)

# Scans one big file through the window, offscreen, and reports throughput and timer gaps.
add_executable(window_bench ${PROJECT_SOURCE_DIR}/bench/window_bench.cpp)
target_link_libraries(window_bench PRIVATE sorvend_window)
set_target_properties(window_bench PROPERTIES
  RUNTIME_OUTPUT_DIRECTORY ${PROJECT_BINARY_DIR}/bench)
