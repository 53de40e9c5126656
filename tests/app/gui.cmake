# Qt Test programs that drive the window's units on the offscreen platform.
find_package(Qt6 REQUIRED COMPONENTS Test)

function(folioset_add_gui_test name)
  add_executable(${name} ${ARGN})
  set_target_properties(${name} PROPERTIES AUTOMOC ON)
  target_link_libraries(${name} PRIVATE folioset_gui Qt6::Test)
  target_compile_definitions(${name} PRIVATE FOLIOSET_TEST_DATA="${FOLIOSET_TEST_DATA}")
  add_test(NAME ${name} COMMAND ${name})
  set_tests_properties(${name} PROPERTIES ENVIRONMENT "QT_QPA_PLATFORM=offscreen" TIMEOUT 300)
endfunction()

folioset_add_gui_test(test_Version test_Version.cpp)
folioset_add_gui_test(test_Forms test_Forms.cpp)
folioset_add_gui_test(test_MainWindow test_MainWindow.cpp)
