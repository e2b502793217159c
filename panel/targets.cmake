# The control panel: every window source as a library (the tests link it) and the program.
set(CMAKE_AUTOMOC ON)
file(GLOB KAVAR_PANEL_SOURCES CONFIGURE_DEPENDS
  ${CMAKE_CURRENT_LIST_DIR}/*.cpp ${CMAKE_CURRENT_LIST_DIR}/*.h)
list(REMOVE_ITEM KAVAR_PANEL_SOURCES ${CMAKE_CURRENT_LIST_DIR}/main.cpp)
add_library(kavar_panel STATIC ${KAVAR_PANEL_SOURCES})
target_include_directories(kavar_panel PUBLIC ${PROJECT_SOURCE_DIR})
target_link_libraries(kavar_panel PUBLIC Qt6::Widgets kavar_outbox kavar_servicemanager kavar_platform)

add_executable(KavarSMS ${CMAKE_CURRENT_LIST_DIR}/main.cpp)
target_link_libraries(KavarSMS PRIVATE kavar_panel)
kavar_version_record(KavarSMS)
