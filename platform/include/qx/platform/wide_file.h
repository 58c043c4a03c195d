// Files named by UTF-16 paths.  The manager tool and the UI extension keep
// their paths in UTF-16 so that any folder name works; the kernel keeps its
// 8-bit paths (file_io.h).  Windows: the wide (W) functions.  POSIX: the path
// converted to UTF-8 (a path that is not valid UTF-16 names no file).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace qx::platform {

// The whole content of a file; nullopt when it cannot be read.
std::optional<std::vector<uint8_t>> read_wide_file(std::u16string_view path);

// Writes a new file beside `path`, flushes it and renames it over `path`.
bool write_wide_file_atomically(std::u16string_view path, const std::vector<uint8_t>& content);

bool wide_file_exists(std::u16string_view path);

struct WideDirectoryEntry {
    std::u16string name;
    bool directory = false;
};

// The entries of `directory` (with or without a final separator) whose names
// match `pattern` ('*' any run, '?' one character), without "." and "..".
// Windows: in the order the system returns them (names compared without
// case, as the system does).  POSIX: sorted by name, case-sensitive.
std::vector<WideDirectoryEntry> find_wide_files(std::u16string_view directory, std::u16string_view pattern);

// Full UTF-16 path of the module that contains `address`; empty when unknown.
std::u16string wide_module_path_of(const void* address);

// Full UTF-16 path of the running executable; empty when unknown.
std::u16string wide_executable_path();

// The directory separator of this system.
char16_t wide_path_separator();

}  // namespace qx::platform
