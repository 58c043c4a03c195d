#include <algorithm>
#include <cstdio>
#include <fstream>
#include <sstream>

#include "core/kernel_state.h"
#include "kernel_fixture.h"
#include "qx/platform/file_io.h"
#include "qx/platform/module.h"
#include "qx/platform/system.h"
#include "scripted_transport.h"
#include "tests/support/qx_test_main.h"
#include "tests/support/qx_test_main.h"

namespace qx::kernel::test {

std::vector<uint8_t> H(const std::string& text) {
    std::vector<uint8_t> out;
    int nibble = -1;
    for (char c : text) {
        int v;
        if (c >= '0' && c <= '9') v = c - '0';
        else if (c >= 'a' && c <= 'f') v = c - 'a' + 10;
        else if (c >= 'A' && c <= 'F') v = c - 'A' + 10;
        else continue;
        if (nibble < 0) {
            nibble = v;
        } else {
            out.push_back(static_cast<uint8_t>(nibble << 4 | v));
            nibble = -1;
        }
    }
    return out;
}

std::string hex(const uint8_t* bytes, std::size_t n) {
    static const char d[] = "0123456789ABCDEF";
    std::string s;
    for (std::size_t i = 0; i < n; ++i) {
        if (i) s += ' ';
        s += d[bytes[i] >> 4];
        s += d[bytes[i] & 15];
    }
    return s;
}

std::string hex(const std::vector<uint8_t>& bytes) { return hex(bytes.data(), bytes.size()); }

std::string binary_directory() { return platform::directory_of(qx::test::self_path()); }

std::string scratch_directory(const std::string& name) {
    std::string dir = platform::temp_directory() + platform::path_separator() + "qx-kernel-" +
                      std::to_string(platform::process_id()) + "-" + name;
    for (const auto& f : platform::list_directory(dir)) platform::remove_file(dir + platform::path_separator() + f);
    platform::make_directories(dir);
    qx::test::remove_tree_at_exit(dir);
    return dir + platform::path_separator();
}

void write_bytes(const std::string& path, const std::vector<uint8_t>& bytes) {
    std::ofstream f(path, std::ios::binary | std::ios::trunc);
    f.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

void write_text(const std::string& path, const std::string& text) {
    write_bytes(path, std::vector<uint8_t>(text.begin(), text.end()));
}

std::string read_text(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    std::stringstream s;
    s << f.rdbuf();
    return s.str();
}

std::string log_text(const std::string& path) {
    std::string text = read_text(path), out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') continue;
        out += text[i];
    }
    return out;
}

std::vector<uint8_t> plain_ini(const std::string& text) {
    std::vector<uint8_t> v(3 + text.size());
    v[0] = 0xEF;
    v[1] = 0xBB;
    v[2] = 0xBF;
    std::copy(text.begin(), text.end(), v.begin() + 3);
    return v;
}

const SoftAlgFunctions& soft_alg() {
    static std::unique_ptr<SoftAlgLibrary> lib = SoftAlgLibrary::load(binary_directory());
    static SoftAlgFunctions none;
    return lib ? lib->functions() : none;
}

void KernelTest::SetUp() {
    ASSERT_TRUE(soft_alg().complete()) << "QXSoftAlg must be built next to the test";
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    dir_ = scratch_directory(std::string(info->test_suite_name()) + "." + info->name());
    state().set_directory(dir_);
    state().set_soft_alg_directory(binary_directory());
    state().set_soft_alg(soft_alg());
    state().set_config(KernelConfig{});
}

void KernelTest::TearDown() {
    state().set_config(KernelConfig{});
    for (const auto& f : platform::list_directory(dir_)) platform::remove_file(dir_ + f);
}

void KernelTest::use_config(const KernelConfig& config) { state().set_config(config); }

void KernelTest::write_config(const std::string& text) { write_bytes(dir_ + "Config.ini", plain_ini(text)); }

}  // namespace qx::kernel::test
