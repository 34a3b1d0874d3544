# Fails when a file of the product includes a folder that the layering of docs/architecture.md
# does not give its own folder, or includes Qt outside the folders that use Qt: the engine and the
# fingerprints stay free of the GUI, and no folder reaches up into what is built on it.
#   cmake -DROOT=<source tree> -P CheckIncludes.cmake
cmake_minimum_required(VERSION 3.25)
if(NOT ROOT)
    message(FATAL_ERROR "usage: cmake -DROOT=<source tree> -P CheckIncludes.cmake")
endif()

# The table of docs/architecture.md, one row per folder:
#   <folder>|<floor>|<what else its files may include, comma-separated prefixes>|<Qt or nothing>
# A file or header belongs to the longest folder that holds it, so photolib/tool/ is not part of
# photolib/, nor platform/defaults/ of platform/. A folder may always include its own headers.
set(table
    "app/|4|engine/,Shared Code/,install/,platform/|Qt"
    "photolib/tool/|4|photolib/,fingerprint/,platform/|"
    "engine/|3|fingerprint/,platform/|"
    "Shared Code/|3|platform/|Qt"
    "install/|3|platform/|Qt"
    "photolib/|3|platform/|"
    "fingerprint/|2|platform/|"
    # The platform's layers use one another; Qt only in these two.
    "platform/defaults/|1|platform/|Qt"
    "platform/instance/|1|platform/|Qt"
    "platform/|1|platform/|")
# Files allowed one more folder: the program's start-up registers the photo application's
# stand-in.
set(exceptions "app/main.cpp|photolib/")
# Not checked, and above everything: they include whatever they test or measure.
set(top_floor tests/ bench/)
# <QString>, <QtCore/QString>, <qglobal.h>
set(qt_header "^(Q[A-Za-z0-9_]*|Qt[A-Za-z0-9_]*/.*|q[a-z0-9_]*\\.h)$")

set(folders "")
foreach(row IN LISTS table)
    string(REPLACE "|" ";" fields "${row}")
    list(GET fields 0 folder)
    list(GET fields 1 floor)
    list(GET fields 2 uses)
    list(GET fields 3 qt)
    list(APPEND folders "${folder}")
    string(MAKE_C_IDENTIFIER "${folder}" key)
    set(floor_${key} ${floor})
    string(REPLACE "," ";" uses_${key} "${uses}")
    set(qt_${key} "${qt}")
endforeach()
foreach(folder IN LISTS top_floor)
    list(APPEND folders "${folder}")
    string(MAKE_C_IDENTIFIER "${folder}" key)
    set(floor_${key} 5)
endforeach()

# Sets `out` to the longest folder of the table that holds `path`; empty when none does.
function(folder_of path out)
    set(best "")
    string(LENGTH "${best}" best_length)
    foreach(folder IN LISTS folders)
        string(FIND "${path}" "${folder}" at)
        string(LENGTH "${folder}" length)
        if(at EQUAL 0 AND length GREATER best_length)
            set(best "${folder}")
            set(best_length ${length})
        endif()
    endforeach()
    set(${out} "${best}" PARENT_SCOPE)
endfunction()

set(files "")
foreach(row IN LISTS table)
    string(REPLACE "|" ";" fields "${row}")
    list(GET fields 0 folder)
    file(GLOB_RECURSE found RELATIVE "${ROOT}" "${ROOT}/${folder}*.h" "${ROOT}/${folder}*.cpp")
    list(APPEND files ${found})
endforeach()
list(REMOVE_DUPLICATES files)
list(SORT files)

set(found 0)
foreach(file IN LISTS files)
    folder_of("${file}" folder)
    string(MAKE_C_IDENTIFIER "${folder}" key)
    set(allowed ${uses_${key}})
    foreach(exception IN LISTS exceptions)
        string(REPLACE "|" ";" fields "${exception}")
        list(GET fields 0 exception_file)
        if(file STREQUAL exception_file)
            list(GET fields 1 extra)
            list(APPEND allowed "${extra}")
        endif()
    endforeach()
    file(STRINGS "${ROOT}/${file}" lines)
    set(number 0)
    foreach(line IN LISTS lines)
        math(EXPR number "${number} + 1")
        if(NOT line MATCHES "^[ \t]*#[ \t]*include[ \t]*[<\"]([^>\"]*)[>\"]")
            continue()
        endif()
        set(header "${CMAKE_MATCH_1}")
        set(why "")
        if(header MATCHES "${qt_header}" AND NOT qt_${key})
            set(why "Qt")
        endif()
        folder_of("${header}" header_folder)
        if(header_folder AND NOT header_folder STREQUAL folder)
            set(permitted FALSE)
            foreach(prefix IN LISTS allowed)
                string(FIND "${header}" "${prefix}" at)
                if(at EQUAL 0)
                    set(permitted TRUE)
                endif()
            endforeach()
            string(MAKE_C_IDENTIFIER "${header_folder}" header_key)
            if(NOT permitted AND floor_${header_key} GREATER floor_${key})
                set(why "${header_folder} lies above ${folder}")
            elseif(NOT permitted)
                set(why "${folder} may not include ${header_folder}")
            endif()
        endif()
        if(why)
            message("${file}:${number}: includes ${header} (${why})")
            math(EXPR found "${found} + 1")
        endif()
    endforeach()
endforeach()

if(found GREATER 0)
    message(FATAL_ERROR "includes against the layering: ${found}")
endif()
list(LENGTH files checked)
message("${checked} files, no include against the layering")
