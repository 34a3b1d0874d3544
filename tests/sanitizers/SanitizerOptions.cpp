// The sanitizers' default options in a sanitizer build (LUMSIFT_SANITIZE): the runtimes call these
// at start-up. Options in the environment (ASAN_OPTIONS, LSAN_OPTIONS, UBSAN_OPTIONS,
// TSAN_OPTIONS) are read after them and win.
#define LUMSIFT_SANITIZER_HOOK extern "C" __attribute__((visibility("default"), used)) const char*

LUMSIFT_SANITIZER_HOOK __asan_default_options() {
    return "detect_leaks=1:detect_stack_use_after_return=1:check_initialization_order=1:"
           "strict_init_order=1";
}

// Leaks that third-party libraries keep to the end of the process; each is named in the file.
LUMSIFT_SANITIZER_HOOK __lsan_default_options() {
    return "suppressions=" LUMSIFT_SANITIZER_FILES "/lsan.supp:print_suppressions=0";
}

LUMSIFT_SANITIZER_HOOK __ubsan_default_options() {
    return "print_stacktrace=1:halt_on_error=1";
}

// The longest history, so that both sides of a race keep their stacks: a side without one could
// not be matched against the suppressions.
LUMSIFT_SANITIZER_HOOK __tsan_default_options() {
    return "suppressions=" LUMSIFT_SANITIZER_FILES "/tsan.supp:print_suppressions=0:"
           "history_size=7:second_deadlock_stack=1";
}
