// Shared set-up of the kernel core tests: the software algorithm library
// bound from the test binary's directory, a scratch directory for Config.ini
// and trace files, and the default configuration in force.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "config/kernel_config.h"
#include "config/soft_alg.h"

namespace qx::kernel::test {

// The directory of the test binary (where the modules are built), with a separator.
std::string binary_directory();
// A fresh, empty directory for one test, with a separator.
std::string scratch_directory(const std::string& name);
void write_bytes(const std::string& path, const std::vector<uint8_t>& bytes);
void write_text(const std::string& path, const std::string& text);
std::string read_text(const std::string& path);
// A log file's text with CR LF read as LF (the log is written in text mode).
std::string log_text(const std::string& path);
// A plain Config.ini: the byte-order mark and the text.
std::vector<uint8_t> plain_ini(const std::string& text);

// The QXSoftAlg module of the build, loaded once for the whole test binary.
const SoftAlgFunctions& soft_alg();

class KernelTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;
    // Puts `config` in force for the kernel core.
    void use_config(const KernelConfig& config);
    // Writes Config.ini (with BOM) into this test's kernel directory.
    void write_config(const std::string& text);

    std::string dir_;
};

}  // namespace qx::kernel::test
