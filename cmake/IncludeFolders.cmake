# The include path of each product target holds only the folders it may use. Code includes a
# header by its folder below the source tree ("platform/log/Log.h"), so a target's include
# folder is a folder of the build tree that holds one link, under that name, to the target's own
# source folder, and nothing else. A target sees its own folder and those of the targets it
# links (PUBLIC links pass theirs on, PRIVATE ones do not), so including a folder whose target is
# not linked fails the build. tests/layering/CheckIncludes.cmake checks the folders against the
# table of docs/architecture.md. Tests and benchmarks include from the source tree.

# lumsift_include_folder(<target> <folder>): <target> offers <folder> (a folder of the source
# tree, such as "engine" or "platform/log") to itself and to those that link it.
function(lumsift_include_folder target folder)
    set(root "${PROJECT_BINARY_DIR}/include-folders/${target}")
    get_filename_component(parent "${root}/${folder}" DIRECTORY)
    file(MAKE_DIRECTORY "${parent}")
    file(CREATE_LINK "${PROJECT_SOURCE_DIR}/${folder}" "${root}/${folder}" SYMBOLIC)
    get_target_property(type ${target} TYPE)
    if(type STREQUAL "INTERFACE_LIBRARY")
        target_include_directories(${target} INTERFACE "${root}")
    else()
        target_include_directories(${target} PUBLIC "${root}")
    endif()
endfunction()
