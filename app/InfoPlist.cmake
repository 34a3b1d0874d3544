# Writes Lumsift's information property list from its template, with the addresses that whoever
# builds Lumsift gives it; used when configuring.
#
# lumsift_write_info_plist(<template> <output> <version> <short version>)
#   Reads LUMSIFT_CRASH_SUBMISSION_URL, LUMSIFT_PRODUCT_PAGE_URL and LUMSIFT_SUPPORT_PAGE_URL:
#   each one that is not empty becomes its key, each empty one leaves its key out. An address
#   must be absolute (scheme:...), without blanks, quotes, backslashes or angle brackets; the
#   crash-submission address must be http or https. Stops with an error naming the variable
#   otherwise.
function(lumsift_write_info_plist template output version short_version)
    set(keys
        LUMSIFT_CRASH_SUBMISSION_URL KTWCrashReporterCrashSubmissionURL
        LUMSIFT_PRODUCT_PAGE_URL LumsiftProductPageURL
        LUMSIFT_SUPPORT_PAGE_URL LumsiftSupportPageURL)
    set(LUMSIFT_INFO_ADDRESSES "")
    while(keys)
        list(POP_FRONT keys variable key)
        set(address "${${variable}}")
        if(address STREQUAL "")
            continue()
        endif()
        set(pattern "^[A-Za-z][A-Za-z0-9+.-]*:[^ \t\r\n\"\\<>]+$")
        if(variable STREQUAL "LUMSIFT_CRASH_SUBMISSION_URL")
            set(pattern "^[Hh][Tt][Tt][Pp][Ss]?://[^ \t\r\n\"\\<>]+$")
        endif()
        if(NOT address MATCHES "${pattern}")
            message(FATAL_ERROR "${variable} is no usable address: \"${address}\". Give an "
                "absolute address such as https://example.com/lumsift (the crash-submission "
                "address http or https), or leave it empty.")
        endif()
        string(REPLACE "&" "&amp;" address "${address}")
        string(APPEND LUMSIFT_INFO_ADDRESSES
            "\t<key>${key}</key>\n\t<string>${address}</string>\n")
    endwhile()
    set(LUMSIFT_INFO_VERSION "${version}")
    set(LUMSIFT_INFO_SHORT_VERSION "${short_version}")
    configure_file("${template}" "${output}" @ONLY)
endfunction()
