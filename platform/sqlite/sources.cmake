target_sources(lumsift_platform PRIVATE ${CMAKE_CURRENT_LIST_DIR}/SqliteHandles.cpp)
target_link_libraries(lumsift_platform PRIVATE PkgConfig::SQLITE3)
