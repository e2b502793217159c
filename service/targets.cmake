# The Velmo service: module SVCMain as a library (the tests link it) and the program.
add_library(kavar_service STATIC ${CMAKE_CURRENT_LIST_DIR}/SVCMain.cpp)
target_include_directories(kavar_service PUBLIC ${PROJECT_SOURCE_DIR})
target_link_libraries(kavar_service PUBLIC kavar_outbox kavar_platform)

add_executable(Velmo ${CMAKE_CURRENT_LIST_DIR}/main.cpp)
target_link_libraries(Velmo PRIVATE kavar_service)
kavar_version_record(Velmo)
