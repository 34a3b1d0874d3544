# The D-Bus call layer shared by the power and notification layers.
include_guard(GLOBAL)
target_sources(lumsift_platform PRIVATE ${CMAKE_CURRENT_LIST_DIR}/DBus.cpp)
target_link_libraries(lumsift_platform PRIVATE PkgConfig::GIO)
