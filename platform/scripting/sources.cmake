target_sources(lumsift_platform PRIVATE
    ${CMAKE_CURRENT_LIST_DIR}/Aperture.cpp
    ${CMAKE_CURRENT_LIST_DIR}/LibraryApplication.cpp
    ${CMAKE_CURRENT_LIST_DIR}/FakeApertureApplication.cpp
)
