target_sources(lumsift_platform PRIVATE
    ${CMAKE_CURRENT_LIST_DIR}/Aperture.cpp
    ${CMAKE_CURRENT_LIST_DIR}/LibraryApplication.cpp
    ${CMAKE_CURRENT_LIST_DIR}/LibraryPackage.cpp
    ${CMAKE_CURRENT_LIST_DIR}/Sqlite.cpp
    ${CMAKE_CURRENT_LIST_DIR}/ImageHeader.cpp
    ${CMAKE_CURRENT_LIST_DIR}/FakeApertureApplication.cpp
)
# The library package: SQLite for its database, libvips and LibRaw for image headers.
target_link_libraries(lumsift_platform PRIVATE PkgConfig::SQLITE3 PkgConfig::VIPS PkgConfig::LIBRAW)
