# The folioset window program: Qt 6 Widgets over folioset_core.
find_package(Qt6 REQUIRED COMPONENTS Widgets)

# The window's units, shared by the program and its tests.
add_library(folioset_gui STATIC
  frm_Main.cpp
  u_Forms.cpp
  u_Version.cpp
  resources/folioset.qrc)
set_target_properties(folioset_gui PROPERTIES AUTOMOC ON AUTORCC ON)
target_link_libraries(folioset_gui PUBLIC folioset_core Qt6::Widgets)

add_executable(folioset main.cpp)
target_link_libraries(folioset PRIVATE folioset_gui)

include(GNUInstallDirs)
install(TARGETS folioset RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(FILES resources/folioset.desktop DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
install(FILES resources/folioset.png
        DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/256x256/apps)
