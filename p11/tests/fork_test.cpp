// A child process must initialise the module again before using it.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>

#include "p11/cryptoki.h"
#include "qx/platform/module.h"
#include "token_env.h"

namespace qx::kernel::test {
namespace {

TEST(P11Fork, TheChildStartsUninitialisedAndMayInitialise) {
    clear_tokens();
    const std::string dir = install_kernel("p11fork", kChannelWords);
    const std::string bin = platform::directory_of(platform::executable_path());
    const std::string file = platform::module_file_name("QXP11");
    std::filesystem::copy_file(bin + file, dir + file, std::filesystem::copy_options::overwrite_existing);
    create_blank_token("p11fork");
    platform::Module module(dir + file);
    ASSERT_TRUE(module);
    CK_FUNCTION_LIST_PTR f = nullptr;
    ASSERT_EQ(CKR_OK, module.function<CK_C_GetFunctionList>("C_GetFunctionList")(&f));
    ASSERT_EQ(CKR_OK, f->C_Initialize(nullptr));
    CK_ULONG n = 0;
    ASSERT_EQ(CKR_OK, f->C_GetSlotList(CK_TRUE, nullptr, &n));
    ASSERT_EQ(1u, n);

    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        // Exit codes tell the parent which rule failed.
        CK_INFO info;
        CK_ULONG count = 0;
        if (f->C_GetInfo(&info) != CKR_CRYPTOKI_NOT_INITIALIZED) _exit(1);
        if (f->C_GetSlotList(CK_TRUE, nullptr, &count) != CKR_CRYPTOKI_NOT_INITIALIZED) _exit(2);
        if (f->C_Initialize(nullptr) != CKR_OK) _exit(3);
        if (f->C_GetSlotList(CK_TRUE, nullptr, &count) != CKR_OK || count != 1) _exit(4);
        if (f->C_Finalize(nullptr) != CKR_OK) _exit(5);
        _exit(0);
    }
    int status = 0;
    ASSERT_EQ(child, waitpid(child, &status, 0));
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(0, WEXITSTATUS(status));
    // The parent goes on as before.
    CK_INFO info;
    EXPECT_EQ(CKR_OK, f->C_GetInfo(&info));
    EXPECT_EQ(CKR_OK, f->C_Finalize(nullptr));
}

}  // namespace
}  // namespace qx::kernel::test
