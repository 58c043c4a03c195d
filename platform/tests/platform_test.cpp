#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <set>
#include <thread>

#include "qx/platform/file_io.h"
#include "qx/platform/module.h"
#include "qx/platform/named_mutex.h"
#include "qx/platform/object_name.h"
#include "qx/platform/shared_memory.h"
#include "qx/platform/system.h"

using namespace qx::platform;

namespace {
std::string unique(const char* what) {
    return std::string("qxtest_") + what + "_" + std::to_string(process_id()) + "_" + std::to_string(tick_ms());
}
}  // namespace

TEST(ObjectName, ReaderNamesBecomeLegalAndStayDistinct) {
    const std::string a = legal_object_name("Provider_\\\\?\\usb#vid_1234&pid_5678#6&1a2b/{guid}");
    const std::string b = legal_object_name("Provider_//?/usb#vid_1234&pid_5678#6&1a2b\\{guid}");
    EXPECT_EQ(a.find('\\'), std::string::npos);
    EXPECT_NE(a, b);
    EXPECT_EQ(a, legal_object_name("Provider_\\\\?\\usb#vid_1234&pid_5678#6&1a2b/{guid}"));
    // Escaping must not let two names collide through the escape character.
    EXPECT_NE(legal_object_name("a%5Cb"), legal_object_name("a\\b"));
}

TEST(ObjectName, LongNamesAreCutButKeepApart) {
    const std::string base(400, 'x');
    const std::string a = legal_object_name(base + "1");
    const std::string b = legal_object_name(base + "2");
    EXPECT_LE(a.size(), 200u);
    EXPECT_NE(a, b);
}

TEST(Module, FindsItselfAndLoadsASibling) {
    const std::string exe = module_path_of(reinterpret_cast<const void*>(&unique));
    ASSERT_FALSE(exe.empty());
    EXPECT_EQ(exe, executable_path());
    const std::string dir = directory_of(exe);
    ASSERT_FALSE(dir.empty());
    EXPECT_EQ(dir.back(), path_separator());

    Module mod(dir + module_file_name("QXPlatformTestModule"));
    ASSERT_TRUE(mod) << last_module_error();
    auto fn = mod.function<int (*)(char*, int)>("qx_testmodule_answer");
    ASSERT_NE(fn, nullptr);
    char where[512];
    EXPECT_EQ(fn(where, sizeof where), 42);
    // The module reports its own file, not the executable's.
    EXPECT_EQ(std::string(where), dir + module_file_name("QXPlatformTestModule"));
    EXPECT_EQ(mod.function<void (*)()>("no_such_export"), nullptr);
}

TEST(Module, MissingLibraryAndNullArgumentsFailCleanly) {
    EXPECT_EQ(load_module(directory_of(executable_path()) + module_file_name("NoSuchModule")), nullptr);
    EXPECT_EQ(bind_symbol(nullptr, "x"), nullptr);
    free_module(nullptr);
    EXPECT_EQ(directory_of("nodir"), "");
}

TEST(NamedMutex, RecursiveForTheOwnerEvenThroughASecondObject) {
    const std::string name = unique("recursive");
    auto m1 = NamedMutex::open(name);
    auto m2 = NamedMutex::open(name);
    ASSERT_TRUE(m1 && m2);
    EXPECT_EQ(m1->lock(), NamedMutex::Wait::Acquired);
    EXPECT_EQ(m2->lock_for(0), NamedMutex::Wait::Acquired);
    EXPECT_EQ(m1->lock(), NamedMutex::Wait::Acquired);
    std::atomic<int> other{-1};
    std::thread t([&] { other = static_cast<int>(m1->lock_for(50)); });
    t.join();
    EXPECT_EQ(other.load(), static_cast<int>(NamedMutex::Wait::Timeout));
    EXPECT_TRUE(m1->unlock());
    EXPECT_TRUE(m2->unlock());
    EXPECT_TRUE(m1->unlock());
    std::thread t2([&] {
        other = static_cast<int>(m2->lock_for(1000));
        if (other == static_cast<int>(NamedMutex::Wait::Acquired)) m2->unlock();
    });
    t2.join();
    EXPECT_EQ(other.load(), static_cast<int>(NamedMutex::Wait::Acquired));
    // Releasing a mutex this thread does not hold is refused.
    EXPECT_FALSE(m1->unlock());
}

TEST(NamedMutex, ExcludesThreads) {
    auto m = NamedMutex::open(unique("threads"));
    ASSERT_TRUE(m);
    int counter = 0;
    auto work = [&] {
        for (int i = 0; i < 2000; ++i) {
            NamedMutexLock lock(m.get());
            ASSERT_TRUE(lock.owns());
            int v = counter;
            counter = v + 1;
        }
    };
    std::thread a(work), b(work);
    a.join();
    b.join();
    EXPECT_EQ(counter, 4000);
}

TEST(SharedMemory, FirstOpenerCreatesZeroFilledArea) {
    const std::string name = unique("shm");
    int inits = 0;
    auto a = SharedMemory::open(name, 0x11A000, [&](void*) { ++inits; });
    ASSERT_TRUE(a);
    EXPECT_TRUE(a->created());
    EXPECT_EQ(a->size(), 0x11A000u);
    const auto* bytes = static_cast<const uint8_t*>(a->data());
    EXPECT_EQ(bytes[0], 0);
    EXPECT_EQ(bytes[0x119FFF], 0);
    std::memcpy(a->data(), "hello", 5);
    auto b = SharedMemory::open(name, 0x11A000, [&](void*) { ++inits; });
    ASSERT_TRUE(b);
    EXPECT_FALSE(b->created());
    EXPECT_EQ(std::memcmp(b->data(), "hello", 5), 0);
    EXPECT_EQ(inits, 1);
    a.reset();
    b.reset();
    // Once every user has gone the area starts afresh.
    auto c = SharedMemory::open(name, 0x11A000);
    ASSERT_TRUE(c);
    EXPECT_TRUE(c->created());
    EXPECT_EQ(static_cast<const uint8_t*>(c->data())[0], 0);
    EXPECT_EQ(SharedMemory::open(name, 0), nullptr);
}

TEST(System, LastErrorSurvivesAKeeper) {
    set_last_error(1234);
    {
        LastErrorKeeper keep;
        set_last_error(5);
    }
    EXPECT_EQ(last_error(), 1234u);
}

TEST(System, LocalTimeAndIdentifiersAreSane) {
    LocalTime t = local_time();
    EXPECT_GE(t.year, 2020);
    EXPECT_GE(t.month, 1);
    EXPECT_LE(t.month, 12);
    EXPECT_GE(t.day, 1);
    EXPECT_LE(t.day, 31);
    EXPECT_NE(process_id(), 0u);
    std::atomic<uint32_t> other{0};
    std::thread th([&] { other = thread_id(); });
    th.join();
    EXPECT_NE(other.load(), thread_id());
    // The tick only has to move on across a sleep (Windows ticks in ~16 ms steps).
    const uint64_t start = tick_ms();
    sleep_ms(50);
    EXPECT_GT(tick_ms(), start);
}

TEST(FileIo, AtomicWriteReplacesWholeContent) {
    const std::string dir = temp_directory() + path_separator() + unique("files");
    ASSERT_TRUE(make_directories(dir + path_separator() + "a" + path_separator() + "b"));
    const std::string path = dir + path_separator() + "state.bin";
    EXPECT_FALSE(read_file(path).has_value());
    ASSERT_TRUE(write_file_atomically(path, {1, 2, 3}));
    ASSERT_TRUE(write_file_atomically(path, {9, 8}));
    auto got = read_file(path);
    ASSERT_TRUE(got.has_value());
    EXPECT_EQ(*got, (std::vector<uint8_t>{9, 8}));
    int64_t mtime = 0, size = 0;
    ASSERT_TRUE(file_stamp(path, &mtime, &size));
    EXPECT_EQ(size, 2);
    // No temporary file is left behind.
    EXPECT_EQ(list_directory(dir), (std::vector<std::string>{"a", "state.bin"}));
    EXPECT_TRUE(remove_file(path));
    EXPECT_FALSE(file_exists(path));
}
