add_library(sorvend_settings STATIC
  ${CMAKE_CURRENT_LIST_DIR}/ini_store.cpp
  ${CMAKE_CURRENT_LIST_DIR}/settings.cpp)
# For the Kind enum and the project-rooted include paths.
target_link_libraries(sorvend_settings PUBLIC sorvend_engine)
