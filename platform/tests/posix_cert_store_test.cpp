// The folder layout of the POSIX certificate store.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include "platform/tests/test_certs.h"
#include "qx/platform/cert_store.h"
#include "qx/platform/file_io.h"
#include "qx/platform/system.h"
#include "tests/support/qx_test_main.h"

using namespace qx::platform;

namespace {
// Every store test of this binary works in a folder of its own.
const bool g_home = [] {
    // A child process keeps its parent's folder; nothing else is ever used.
    if (environment("QX_CERTSTORE_HOME").find("/qx-certstore-test-") != std::string::npos) return true;
    const std::string home = temp_directory() + "/qx-certstore-test-" + std::to_string(process_id());
    qx::test::remove_tree_at_exit(home);
    return ::setenv("QX_CERTSTORE_HOME", home.c_str(), 1) == 0;
}();
}  // namespace

TEST(PosixCertStore, FolderPerLowerCaseNameWithThumbprintFiles) {
    const std::string home = temp_directory() + "/qx-certstore-layout-" + std::to_string(process_id());
    qx::test::remove_tree_at_exit(home);
    const std::string previous = environment("QX_CERTSTORE_HOME");
    ::setenv("QX_CERTSTORE_HOME", home.c_str(), 1);
    struct Restore {
        std::string value;
        ~Restore() { ::setenv("QX_CERTSTORE_HOME", value.c_str(), 1); }
    } restore{previous};
    const auto cert = qx::test::self_signed(qx::test::KeyKind::Rsa, "Layout Test", 5);
    CertificateInfo info;
    ASSERT_TRUE(certificate_info(cert.data(), cert.size(), &info));

    auto store = CertStore::open("LayOut");
    ASSERT_NE(store, nullptr);
    KeyProvider k;
    k.container = u"c1";
    k.provider = u"P";
    k.keySpec = 2;
    ASSERT_EQ(store->add(cert.data(), cert.size(), AddMode::ReplaceExisting, &k), StoreStatus::Ok);

    const std::string dir = home + "/layout/";
    EXPECT_EQ(read_file(dir + info.thumbprint + ".cer"), cert);
    auto prov = read_file(dir + info.thumbprint + ".keyprov");
    ASSERT_TRUE(prov.has_value());
    EXPECT_EQ(std::string(prov->begin(), prov->end()), "container=c1\nprovider=P\ntype=1\nflags=0\nkeyspec=2\n");
    struct stat st {};
    ASSERT_EQ(::stat(dir.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);

    // A damaged property file reads as no property, never as a wrong one.
    ASSERT_TRUE(write_file_atomically(dir + info.thumbprint + ".keyprov", {'c', '=', '%', 'Z'}));
    StoredCertificate found;
    ASSERT_EQ(store->find(cert.data(), cert.size(), &found), StoreStatus::Ok);
    EXPECT_FALSE(found.keyProvider.has_value());
    // A stray file that is no certificate is skipped.
    ASSERT_TRUE(write_file_atomically(dir + "junk.cer", {1, 2, 3}));
    EXPECT_EQ(store->list().size(), 1u);
}
