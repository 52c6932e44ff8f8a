# The main window and the program's start-up, over the fake tables of the
# slot tests.
set(main_window_fake_dir ${CMAKE_CURRENT_LIST_DIR}/../token)

korvan_add_test(main_window_tests
    ${CMAKE_CURRENT_LIST_DIR}/MainWindowTreeTest.cpp
    ${CMAKE_CURRENT_LIST_DIR}/MainWindowMenuTest.cpp
    ${CMAKE_CURRENT_LIST_DIR}/MainWindowLayoutTest.cpp
    LIBS korvan_app fake_slot_library Qt6::Test)
target_include_directories(main_window_tests PRIVATE ${main_window_fake_dir} ${CMAKE_CURRENT_LIST_DIR})
