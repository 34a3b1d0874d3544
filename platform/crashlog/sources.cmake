target_sources(lumsift_platform PRIVATE ${CMAKE_CURRENT_LIST_DIR}/CrashLogWriter.cpp)
