# Sanitizer builds of the whole tree, chosen by LUMSIFT_SANITIZE:
#   address,undefined   AddressSanitizer with leak checking, and UndefinedBehaviorSanitizer
#   thread              ThreadSanitizer
# A finding ends the process with an error, so the test that ran into it fails. Every executable
# carries the runtimes' default options (tests/sanitizers/SanitizerOptions.cpp), so it behaves
# the same whether CTest, a developer or another test starts it.
# GCC warns of uninitialised reads that are not there when it instruments code: leave
# LUMSIFT_WERROR off in a sanitizer build.
set(LUMSIFT_SANITIZE "" CACHE STRING
    "Sanitizers to build with: address,undefined or thread; empty for none")
if(NOT LUMSIFT_SANITIZE)
    return()
endif()

add_compile_options(-fsanitize=${LUMSIFT_SANITIZE} -fno-sanitize-recover=all
    -fno-omit-frame-pointer)
add_link_options(-fsanitize=${LUMSIFT_SANITIZE})
if(LUMSIFT_SANITIZE MATCHES "undefined")
    # Undefined, yet not part of GCC's -fsanitize=undefined: a float beyond an integer's range.
    add_compile_options(-fsanitize=float-cast-overflow)
endif()

add_library(lumsift_sanitizer_options OBJECT tests/sanitizers/SanitizerOptions.cpp)
target_compile_definitions(lumsift_sanitizer_options PRIVATE
    LUMSIFT_SANITIZER_FILES="${PROJECT_SOURCE_DIR}/tests/sanitizers")
link_libraries("$<$<STREQUAL:$<TARGET_PROPERTY:TYPE>,EXECUTABLE>:lumsift_sanitizer_options>")
