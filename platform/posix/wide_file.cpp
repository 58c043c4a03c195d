// UTF-16 paths on POSIX: converted to UTF-8 and handed to the 8-bit services.
#include "qx/platform/wide_file.h"

#include <dirent.h>
#include <fnmatch.h>
#include <sys/stat.h>

#include <algorithm>

#include "qx/platform/file_io.h"
#include "qx/platform/module.h"
#include "qx/platform/text.h"

namespace qx::platform {

namespace {

bool narrow(std::u16string_view path, std::string* out) { return !path.empty() && utf16_to_utf8(path, out); }

}  // namespace

std::optional<std::vector<uint8_t>> read_wide_file(std::u16string_view path) {
    std::string p;
    if (!narrow(path, &p)) return std::nullopt;
    return read_file(p);
}

bool write_wide_file_atomically(std::u16string_view path, const std::vector<uint8_t>& content) {
    std::string p;
    return narrow(path, &p) && write_file_atomically(p, content);
}

bool wide_file_exists(std::u16string_view path) {
    std::string p;
    return narrow(path, &p) && file_exists(p);
}

std::vector<WideDirectoryEntry> find_wide_files(std::u16string_view directory, std::u16string_view pattern) {
    std::vector<WideDirectoryEntry> out;
    std::string dir, pat;
    if (!narrow(directory, &dir) || !narrow(pattern, &pat)) return out;
    if (dir.back() != '/') dir.push_back('/');
    DIR* d = ::opendir(dir.c_str());
    if (!d) return out;
    std::vector<std::string> names;
    while (dirent* e = ::readdir(d)) {
        const std::string name = e->d_name;
        if (name == "." || name == "..") continue;
        if (::fnmatch(pat.c_str(), name.c_str(), 0) == 0) names.push_back(name);
    }
    ::closedir(d);
    // The system's order is arbitrary; by name makes the first match stable.
    std::sort(names.begin(), names.end());
    for (const std::string& name : names) {
        WideDirectoryEntry entry;
        if (!utf8_to_utf16(name, &entry.name)) continue;  // not a name a UTF-16 path can carry
        struct stat st {};
        entry.directory = ::stat((dir + name).c_str(), &st) == 0 && S_ISDIR(st.st_mode);
        out.push_back(std::move(entry));
    }
    return out;
}

std::u16string wide_module_path_of(const void* address) {
    std::u16string out;
    if (!utf8_to_utf16(module_path_of(address), &out)) out.clear();
    return out;
}

std::u16string wide_executable_path() {
    std::u16string out;
    if (!utf8_to_utf16(executable_path(), &out)) out.clear();
    return out;
}

char16_t wide_path_separator() { return u'/'; }

}  // namespace qx::platform
