// Whole-file reading and crash-safe replacement, and advisory file locks.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace qx::platform {

// The whole content of a file; nullopt when it cannot be read.
std::optional<std::vector<uint8_t>> read_file(const std::string& path);

// Writes a new file next to `path`, flushes it to disk and renames it over
// `path`, so that a crash leaves either the old or the new content.
bool write_file_atomically(const std::string& path, const std::vector<uint8_t>& content);

// Modification time (any monotonic unit) and size of a file; false when it does not exist.
bool file_stamp(const std::string& path, int64_t* mtime, int64_t* size);

bool file_exists(const std::string& path);
bool remove_file(const std::string& path);
bool make_directories(const std::string& path);
std::vector<std::string> list_directory(const std::string& path);

// The directory separator of this system.
char path_separator();

// An exclusive lock on a lock file, held across processes and released when
// the holder dies.  Blocks until granted.
class FileLock {
public:
    static std::unique_ptr<FileLock> acquire(const std::string& lock_path);
    ~FileLock();
    FileLock(const FileLock&) = delete;
    FileLock& operator=(const FileLock&) = delete;

    struct Impl;

private:
    explicit FileLock(std::unique_ptr<Impl> impl);
    std::unique_ptr<Impl> impl_;
};

}  // namespace qx::platform
