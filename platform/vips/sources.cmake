target_sources(lumsift_platform PRIVATE ${CMAKE_CURRENT_LIST_DIR}/Vips.cpp)
# The header includes libvips: its users compile against it too.
target_link_libraries(lumsift_platform PUBLIC PkgConfig::VIPS)
