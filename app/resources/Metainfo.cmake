# Writes Lumsift's AppStream metainfo from its template, with the web pages that whoever builds
# Lumsift gives it; used when configuring.
#
# lumsift_write_metainfo(<template> <output> <version>)
#   Reads LUMSIFT_PRODUCT_PAGE_URL and LUMSIFT_SUPPORT_PAGE_URL as lumsift_write_info_plist
#   accepts them. An http or https product page becomes the homepage, and the screenshots are
#   named below it, at <page>/screenshots/loading-page.png and results-page.png (the page less
#   its query, fragment and closing slash); an http or https support page becomes the help page.
#   Each one not given, or not a web page (mailto:), is left out, its screenshots with it.
function(lumsift_write_metainfo template output version)
    set(web "^[Hh][Tt][Tt][Pp][Ss]?://[^/?#]")
    set(LUMSIFT_METAINFO_URLS "")
    set(LUMSIFT_METAINFO_SCREENSHOTS "")
    foreach(page product support)
        string(TOUPPER "${page}" variable)
        set(address "${LUMSIFT_${variable}_PAGE_URL}")
        if(NOT address MATCHES "${web}")
            continue()
        endif()
        string(REPLACE "&" "&amp;" escaped "${address}")
        string(REPLACE "<" "&lt;" escaped "${escaped}")
        string(REPLACE ">" "&gt;" escaped "${escaped}")
        if(page STREQUAL "product")
            string(APPEND LUMSIFT_METAINFO_URLS "  <url type=\"homepage\">${escaped}</url>\n")
            string(REGEX REPLACE "[?#].*$" "" folder "${escaped}")
            string(REGEX REPLACE "/+$" "" folder "${folder}")
            string(APPEND LUMSIFT_METAINFO_SCREENSHOTS
                "  <screenshots>\n"
                "    <screenshot type=\"default\">\n"
                "      <caption>Loading and analysing a library</caption>\n"
                "      <image>${folder}/screenshots/loading-page.png</image>\n"
                "    </screenshot>\n"
                "    <screenshot>\n"
                "      <caption>The images similar to the selection</caption>\n"
                "      <image>${folder}/screenshots/results-page.png</image>\n"
                "    </screenshot>\n"
                "  </screenshots>\n")
        else()
            string(APPEND LUMSIFT_METAINFO_URLS "  <url type=\"help\">${escaped}</url>\n")
        endif()
    endforeach()
    set(LUMSIFT_METAINFO_VERSION "${version}")
    configure_file("${template}" "${output}" @ONLY)
endfunction()
