// SPDX-License-Identifier: MIT
// Default options of the sanitizer runtimes for every test program of the sanitizer build.
extern "C" {
const char* __asan_default_options() {
    return "detect_leaks=1:detect_stack_use_after_return=1:strict_string_checks=1";
}
const char* __ubsan_default_options() { return "print_stacktrace=1:halt_on_error=1"; }
// Leaks inside system libraries the tests load (Qt's platform plugins, fontconfig) are theirs.
const char* __lsan_default_suppressions() {
    return "leak:libfontconfig\n"
           "leak:libQt6\n"
           "leak:libdbus\n"
           "leak:libglib\n";
}
}
