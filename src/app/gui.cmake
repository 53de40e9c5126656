# The folioset window program: Qt 6 Widgets over folioset_core.
find_package(Qt6 REQUIRED COMPONENTS Widgets)

# The window's units, shared by the program and its tests.
add_library(folioset_gui STATIC
  u_Forms.cpp
  u_Version.cpp)
set_target_properties(folioset_gui PROPERTIES AUTOMOC ON AUTORCC ON)
target_link_libraries(folioset_gui PUBLIC folioset_core Qt6::Widgets)

# The main window drives the e-book document of the core library: it is made once this folder
# is read, and only when the document is built.
function(folioset_add_window)
  get_target_property(core_sources folioset_core SOURCES)
  list(FILTER core_sources INCLUDE REGEX "u_EBookDocument\\.cpp$")
  if(NOT core_sources)
    return()
  endif()
  set(here ${CMAKE_CURRENT_SOURCE_DIR})
  target_sources(folioset_gui PRIVATE ${here}/frm_Main.cpp ${here}/resources/folioset.qrc)

  add_executable(folioset ${here}/main.cpp)
  target_link_libraries(folioset PRIVATE folioset_gui)

  include(GNUInstallDirs)
  install(TARGETS folioset RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  install(FILES ${here}/resources/folioset.desktop
          DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
  install(FILES ${here}/resources/folioset.png
          DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/256x256/apps)
endfunction()
cmake_language(DEFER CALL folioset_add_window)
