# The main window: frame, splitter, navigation tree and pane. Included from
# this folder's CMakeLists.txt.

# Its decisions without any toolkit: item texts, enabling rules, event codes.
add_library(korvan_main_rules STATIC ${CMAKE_CURRENT_LIST_DIR}/MainWindowRules.cpp)
target_include_directories(korvan_main_rules PUBLIC ${CMAKE_CURRENT_LIST_DIR})
target_link_libraries(korvan_main_rules PUBLIC korvan_token korvan_lang)
korvan_warnings(korvan_main_rules)

add_library(korvan_main_window STATIC
    ${CMAKE_CURRENT_LIST_DIR}/AdminOperations.cpp
    ${CMAKE_CURRENT_LIST_DIR}/AdminOperations.h
    ${CMAKE_CURRENT_LIST_DIR}/LeftTreeView.cpp
    ${CMAKE_CURRENT_LIST_DIR}/LeftTreeView.h
    ${CMAKE_CURRENT_LIST_DIR}/MainFrame.cpp
    ${CMAKE_CURRENT_LIST_DIR}/MainFrame.h
    ${CMAKE_CURRENT_LIST_DIR}/PaneView.cpp
    ${CMAKE_CURRENT_LIST_DIR}/PaneView.h
    ${CMAKE_CURRENT_LIST_DIR}/SplitterWnd.cpp
    ${CMAKE_CURRENT_LIST_DIR}/SplitterWnd.h
    ${CMAKE_CURRENT_LIST_DIR}/TreeImages.cpp
    ${CMAKE_CURRENT_LIST_DIR}/TreeImages.h)
set_target_properties(korvan_main_window PROPERTIES AUTOMOC ON)
target_include_directories(korvan_main_window PUBLIC ${CMAKE_CURRENT_LIST_DIR})
target_link_libraries(korvan_main_window PUBLIC
    korvan_main_rules korvan_info_views korvan_certs korvan_drawn_icons korvan_lang_ui
    korvan_token_qt korvan_admin_ops Qt6::Widgets)
korvan_warnings(korvan_main_window)
