// A large library package for benchmarks, made directly in SQL: 100 projects of 1,000 versions
// each, every other version carrying the three fingerprint tags. Shared by the library's and the
// engine's load benchmarks.
#pragma once

#include <filesystem>

namespace lumsift::bench {

struct BenchLibraryShape {
    int projects = 100;
    int versionsPerProject = 1000;
};

// Makes the package at `package` (which must not exist) and fills it in one transaction. Masters
// are recorded (referenced, 4000 x 3000) but no files are written, so every version is offline.
// Throws lumsift::scripting::ScriptingError when the package cannot be made.
void makeBenchLibrary(const std::filesystem::path& package, BenchLibraryShape shape = {});

} // namespace lumsift::bench
