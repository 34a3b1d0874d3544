# The idle-sleep assertion (systemd-logind inhibitor over D-Bus).
include(${CMAKE_CURRENT_LIST_DIR}/../dbus/sources.cmake)
target_sources(lumsift_platform PRIVATE ${CMAKE_CURRENT_LIST_DIR}/PowerAssertions.cpp)
