# Writes Lumsift's desktop entry from its template; used when configuring (the build tree's entry)
# and when installing (the prefix's entry and the bundle's own copy).
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
