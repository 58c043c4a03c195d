// Cross-process behaviour with real child processes.
#include <gtest/gtest.h>

#include <cstring>

#include "qx/platform/file_io.h"
#include "qx/platform/load_counter.h"
#include "qx/platform/named_mutex.h"
#include "qx/platform/process.h"
#include "qx/platform/shared_memory.h"
#include "qx/platform/system.h"
#include "tests/support/qx_test_main.h"

using namespace qx::platform;

namespace {

std::string unique(const char* what) {
    return std::string("qxmp_") + what + "_" + std::to_string(process_id()) + "_" + std::to_string(tick_ms());
}

struct Counter {
    volatile int value;
    volatile int inside;
    volatile int overlap;
};

std::unique_ptr<ChildProcess> spawn_child(const std::string& role, const std::vector<std::string>& args) {
    return ChildProcess::spawn(qx::test::child_command(role, args));
}

// Waits until the shared flag reaches `value`, at most ~20 s.
bool wait_flag(volatile int* flag, int value) {
    for (int i = 0; i < 4000; ++i) {
        if (*flag == value) return true;
        sleep_ms(5);
    }
    return false;
}

}  // namespace

// Increments a shared counter under the mutex with a deliberately slow
// read-modify-write, noting any moment when two processes are inside at once.
QX_TEST_CHILD(mutex_worker) {
    auto mutex = NamedMutex::open(args.at(0));
    auto shm = SharedMemory::open(args.at(1), sizeof(Counter));
    if (!mutex || !shm) return 2;
    auto* c = static_cast<Counter*>(shm->data());
    for (int i = 0; i < 200; ++i) {
        NamedMutexLock lock(mutex.get());
        if (!lock.owns()) return 3;
        if (c->inside != 0) c->overlap = 1;
        c->inside = c->inside + 1;
        int v = c->value;
        if (i % 50 == 0) sleep_ms(1);
        c->value = v + 1;
        c->inside = c->inside - 1;
    }
    return 0;
}

TEST(MultiProcess, NamedMutexExcludesProcesses) {
    const std::string mname = unique("mutex"), sname = unique("counter");
    auto shm = SharedMemory::open(sname, sizeof(Counter));
    ASSERT_TRUE(shm);
    auto a = spawn_child("mutex_worker", {mname, sname});
    auto b = spawn_child("mutex_worker", {mname, sname});
    ASSERT_TRUE(a && b);
    EXPECT_EQ(a->wait(), 0);
    EXPECT_EQ(b->wait(), 0);
    auto* c = static_cast<Counter*>(shm->data());
    EXPECT_EQ(c->value, 400);
    EXPECT_EQ(c->overlap, 0);
}

// Takes the mutex, says so through shared memory and then either exits
// without releasing it or waits to be killed.
QX_TEST_CHILD(mutex_holder) {
    auto mutex = NamedMutex::open(args.at(0));
    auto shm = SharedMemory::open(args.at(1), sizeof(Counter));
    if (!mutex || !shm || !owned(mutex->lock())) return 2;
    static_cast<Counter*>(shm->data())->value = 1;
    if (args.at(2) == "exit") return 0;
    for (;;) sleep_ms(100);
}

TEST(MultiProcess, OwnerThatDiesDoesNotBlockOthers) {
    for (const char* how : {"exit", "killed"}) {
        SCOPED_TRACE(how);
        const std::string mname = unique("abandon"), sname = unique("flag");
        auto mutex = NamedMutex::open(mname);
        auto shm = SharedMemory::open(sname, sizeof(Counter));
        ASSERT_TRUE(mutex && shm);
        auto child = spawn_child("mutex_holder", {mname, sname, how});
        ASSERT_TRUE(child);
        ASSERT_TRUE(wait_flag(&static_cast<Counter*>(shm->data())->value, 1));
        if (std::string(how) == "killed") {
            EXPECT_EQ(mutex->lock_for(100), NamedMutex::Wait::Timeout);
            child->kill();
        }
        child->wait();
        // Waits without time-out, as the kernel does (the test time-out guards a hang).
        const NamedMutex::Wait w = mutex->lock();
        EXPECT_EQ(w, NamedMutex::Wait::Abandoned);
        ASSERT_TRUE(owned(w));
        EXPECT_TRUE(mutex->unlock());
        // Usable as usual afterwards.
        EXPECT_EQ(mutex->lock_for(1000), NamedMutex::Wait::Acquired);
        EXPECT_TRUE(mutex->unlock());
    }
}

QX_TEST_CHILD(shm_writer) {
    auto shm = SharedMemory::open(args.at(0), 4096);
    if (!shm) return 2;
    if (shm->created()) return 3;  // the parent made it
    std::memcpy(static_cast<char*>(shm->data()) + 100, "from child", 11);
    return 0;
}

TEST(MultiProcess, SharedMemorySeenAcrossProcesses) {
    const std::string name = unique("seen");
    auto shm = SharedMemory::open(name, 4096);
    ASSERT_TRUE(shm);
    ASSERT_TRUE(shm->created());
    auto child = spawn_child("shm_writer", {name});
    ASSERT_TRUE(child);
    EXPECT_EQ(child->wait(), 0);
    EXPECT_STREQ(static_cast<const char*>(shm->data()) + 100, "from child");
}

// Counts itself in, reports the total, waits for the parent's go and counts itself out.
QX_TEST_CHILD(counter_user) {
    auto shm = SharedMemory::open(args.at(1), sizeof(Counter));
    if (!shm) return 2;
    auto* c = static_cast<Counter*>(shm->data());
    c->value = load_counter_increment(args.at(0));
    c->inside = 1;
    if (!wait_flag(&c->overlap, 1)) return 3;
    load_counter_decrement(args.at(0));
    return 0;
}

TEST(MultiProcess, LoadCounterCountsTwoProcesses) {
    const std::string cname = unique("loads"), sname = unique("loadflag");
    auto shm = SharedMemory::open(sname, sizeof(Counter));
    ASSERT_TRUE(shm);
    auto* c = static_cast<Counter*>(shm->data());
    const int32_t before = load_counter_value(cname);
    EXPECT_EQ(load_counter_increment(cname), before + 1);
    auto child = spawn_child("counter_user", {cname, sname});
    ASSERT_TRUE(child);
    ASSERT_TRUE(wait_flag(&c->inside, 1));
    EXPECT_EQ(c->value, before + 2);
    EXPECT_EQ(load_counter_value(cname), before + 2);
    c->overlap = 1;
    EXPECT_EQ(child->wait(), 0);
    EXPECT_EQ(load_counter_value(cname), before + 1);
    EXPECT_EQ(load_counter_decrement(cname), before);
}

QX_TEST_CHILD(file_locker) {
    auto shm = SharedMemory::open(args.at(1), sizeof(Counter));
    if (!shm) return 2;
    auto* c = static_cast<Counter*>(shm->data());
    for (int i = 0; i < 50; ++i) {
        auto lock = FileLock::acquire(args.at(0));
        if (!lock) return 3;
        if (c->inside != 0) c->overlap = 1;
        c->inside = c->inside + 1;
        int v = c->value;
        if (i % 10 == 0) sleep_ms(1);
        c->value = v + 1;
        c->inside = c->inside - 1;
    }
    return 0;
}

TEST(MultiProcess, FileLockExcludesProcesses) {
    const std::string lock = temp_directory() + path_separator() + unique("lockfile");
    const std::string sname = unique("lockcount");
    auto shm = SharedMemory::open(sname, sizeof(Counter));
    ASSERT_TRUE(shm);
    auto a = spawn_child("file_locker", {lock, sname});
    auto b = spawn_child("file_locker", {lock, sname});
    ASSERT_TRUE(a && b);
    EXPECT_EQ(a->wait(), 0);
    EXPECT_EQ(b->wait(), 0);
    auto* c = static_cast<Counter*>(shm->data());
    EXPECT_EQ(c->value, 100);
    EXPECT_EQ(c->overlap, 0);
    remove_file(lock);
}

QX_TEST_CHILD(exit_with) { return std::stoi(args.at(0)); }

TEST(MultiProcess, ChildExitCodes) {
    auto child = spawn_child("exit_with", {"7"});
    ASSERT_TRUE(child);
    int code = -1;
    EXPECT_TRUE(child->wait_for(20000, &code));
    EXPECT_EQ(code, 7);
    EXPECT_EQ(ChildProcess::spawn({}), nullptr);
}
