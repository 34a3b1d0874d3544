# Writes Lumsift's desktop entry from its template; used when configuring (the build tree's entry)
# and when installing (the prefix's entry, the bundle's own copy, and the menu's when the desktop
# does not read the prefix's folders).
#
# lumsift_write_desktop_entry(<template> <output> <executable> <icon>)
#   <executable>: absolute path of the program that Exec starts (quoted and escaped here);
#   <icon>: an icon-theme name or an absolute path.
function(lumsift_write_desktop_entry template output executable icon)
    # A string value escapes its backslashes; Exec's quoted argument first escapes ", `, $ and \,
    # and writes % as %%.
    string(REPLACE "\\" "\\\\" quoted "${executable}")
    foreach(character "\"" "`" "$")
        string(REPLACE "${character}" "\\${character}" quoted "${quoted}")
    endforeach()
    string(REPLACE "%" "%%" quoted "${quoted}")
    string(REPLACE "\\" "\\\\" LUMSIFT_DESKTOP_EXEC "\"${quoted}\"")
    string(REPLACE "\\" "\\\\" LUMSIFT_DESKTOP_TRYEXEC "${executable}")
    string(REPLACE "\\" "\\\\" LUMSIFT_DESKTOP_ICON "${icon}")
    configure_file("${template}" "${output}" @ONLY)
endfunction()

# lumsift_install_desktop_entry(<template> <entry> <executable> <icon>)
#   lumsift_write_desktop_entry when installing: says so, and lists <entry> in the install
#   manifest (a macro, so that the list is the install script's own).
macro(lumsift_install_desktop_entry template entry executable icon)
    message(STATUS "Installing: ${entry}")
    lumsift_write_desktop_entry("${template}" "${entry}" "${executable}" "${icon}")
    list(APPEND CMAKE_INSTALL_MANIFEST_FILES "${entry}")
endmacro()

# lumsift_menu_entries_folder(<prefix> <chosen> <variable>)
#   Sets <variable> to the folder of desktop entries where an install under <prefix> also puts
#   its entry so that the desktop's menu finds it (DESTDIR not prepended): empty when the desktop
#   reads <prefix>/share already (/usr/local/share, /usr/share, or the installing user's data
#   home, $XDG_DATA_HOME or ~/.local/share); else <chosen> when not empty; else the machine's,
#   /usr/local/share/applications, when installing as root or into $DESTDIR; else the user's,
#   <data home>/applications. Never fails.
function(lumsift_menu_entries_folder prefix chosen variable)
    set(home "$ENV{XDG_DATA_HOME}")
    if(NOT home MATCHES "^/" AND "$ENV{HOME}" MATCHES "^/")
        set(home "$ENV{HOME}/.local/share")
    endif()
    cmake_path(SET share NORMALIZE "${prefix}/share/")
    foreach(read /usr/local/share /usr/share "${home}")
        if(read MATCHES "^/")
            cmake_path(SET read NORMALIZE "${read}/")
            if(share STREQUAL read)
                set(${variable} "" PARENT_SCOPE)
                return()
            endif()
        endif()
    endforeach()
    if(NOT chosen STREQUAL "")
        set(${variable} "${chosen}" PARENT_SCOPE)
        return()
    endif()
    execute_process(COMMAND id -u OUTPUT_VARIABLE user OUTPUT_STRIP_TRAILING_WHITESPACE)
    if(user STREQUAL "0" OR NOT "$ENV{DESTDIR}" STREQUAL "" OR NOT home MATCHES "^/")
        set(${variable} /usr/local/share/applications PARENT_SCOPE)
    else()
        set(${variable} "${home}/applications" PARENT_SCOPE)
    endif()
endfunction()
