// A throw-away folder tree for language-file tests: a base folder with
// Config.ini and "Languages", written from UTF-8 text.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include "language.h"
#include "qx/platform/system.h"
#include "qx/platform/wide_file.h"

namespace qx::language::test {

inline const std::string kBom = "\xEF\xBB\xBF";

class TempTree {
public:
    // `leaf` may hold any characters (UTF-8), e.g. CJK folder names.
    explicit TempTree(const std::string& leaf = "lang") {
        static std::atomic<int> counter{0};
        const std::string unique = leaf + "-" + std::to_string(platform::process_id()) + "-" + std::to_string(++counter);
        root_ = std::filesystem::path(platform::temp_directory()) / std::filesystem::path(to_text(unique));
        std::filesystem::remove_all(root_);
        std::filesystem::create_directories(root_);
    }
    ~TempTree() {
        std::error_code ec;
        std::filesystem::remove_all(root_, ec);
    }
    TempTree(const TempTree&) = delete;
    TempTree& operator=(const TempTree&) = delete;

    // The UTF-16 path of a file under the root ("" for the root itself, with a final separator).
    Text path(const std::string& relative = "") const {
        if (relative.empty()) return join_path(root_.u16string(), u"");
        return (root_ / std::filesystem::path(to_text(relative))).make_preferred().u16string();
    }
    // Writes raw bytes (folders are made as needed).
    void write_bytes(const std::string& relative, const std::string& bytes) const {
        const auto p = root_ / std::filesystem::path(to_text(relative));
        std::filesystem::create_directories(p.parent_path());
        std::ofstream(p, std::ios::binary) << bytes;
    }
    // Writes an INI text with the byte-order mark.
    void write_ini(const std::string& relative, const std::string& text) const { write_bytes(relative, kBom + text); }
    void make_dir(const std::string& relative) const {
        std::filesystem::create_directories(root_ / std::filesystem::path(to_text(relative)));
    }
    std::optional<std::string> read(const std::string& relative) const { return read_path(path(relative)); }
    static std::optional<std::string> read_path(const Text& path) {
        auto bytes = platform::read_wide_file(path);
        if (!bytes) return std::nullopt;
        return std::string(bytes->begin(), bytes->end());
    }

private:
    std::filesystem::path root_;
};

// A language file with a display name and [TEXT] entries ("key = value" lines).
inline std::string language_file(const std::string& name, const std::string& textLines = "") {
    return "[LanguageSetting]\r\nlanguage = " + name + "\r\n[TEXT]\r\n" + textLines;
}

}  // namespace qx::language::test
