# The main window and the program's start-up, over the fake tables of the
# slot tests.
set(main_window_fake_dir ${CMAKE_CURRENT_LIST_DIR}/../token)

korvan_add_test(main_window_tests
    ${CMAKE_CURRENT_LIST_DIR}/MainWindowTreeTest.cpp
    ${CMAKE_CURRENT_LIST_DIR}/MainWindowMenuTest.cpp
    ${CMAKE_CURRENT_LIST_DIR}/MainWindowLayoutTest.cpp
    ${CMAKE_CURRENT_LIST_DIR}/MainWindowDialogEventTest.cpp
    LIBS korvan_app fake_slot_library Qt6::Test)
target_include_directories(main_window_tests PRIVATE ${main_window_fake_dir} ${CMAKE_CURRENT_LIST_DIR})

# Start-up and exit, language selection, and the program run as a process.
korvan_add_test(app_tests
    ${CMAKE_CURRENT_LIST_DIR}/../app/AppStartupTest.cpp
    ${CMAKE_CURRENT_LIST_DIR}/../app/LanguageSelectionTest.cpp
    ${CMAKE_CURRENT_LIST_DIR}/../app/ManagerProcessTest.cpp
    ${CMAKE_CURRENT_LIST_DIR}/../app/RealTokenStartupTest.cpp
    LIBS korvan_app fake_slot_library Qt6::Test)
target_include_directories(app_tests PRIVATE ${main_window_fake_dir} ${CMAKE_CURRENT_LIST_DIR}/../app)
target_compile_definitions(app_tests PRIVATE KORVAN_MGR_PATH="$<TARGET_FILE:KorvanNgMgr>")
add_dependencies(app_tests KorvanNgMgr)
if(TARGET softtoken_meridia AND TARGET tokenctl)
    add_dependencies(app_tests softtoken_meridia tokenctl)
    target_compile_definitions(app_tests PRIVATE KORVAN_TOKENCTL_PATH="$<TARGET_FILE:tokenctl>")
else()
    target_compile_definitions(app_tests PRIVATE KORVAN_TOKENCTL_PATH="")
endif()
