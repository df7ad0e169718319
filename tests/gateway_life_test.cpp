// What a gateway's processes do to the library: fork helpers that exit or
// stop the library, start it from odd places, and run out of room for a
// thread. The parent's library keeps running and its status tells the truth.

#include <pthread.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <system_error>

#include "support/library.h"

// LeakSanitizer asks this at exit. A forked child holds the stacks of the
// parent's threads, which don't run in it, unscanned: what they point to
// would read as leaks. Only the process the test started is checked.
static const pid_t g_test_process = getpid();
extern "C" int __lsan_is_turned_off() { return getpid() != g_test_process ? 1 : 0; }

namespace {

namespace api = orv::devMgmt;

using GatewayLifeTest = LibraryTest;

// InChild runs `how` in a forked child the way a service's helper ends, and
// returns the child's exit status: 0 when the child saw the library stopped.
int InChild(const std::string& how) {
  const pid_t child = fork();
  if (child == 0) {
    // Whichever the child asks first finds the library stopped.
    int failed = how != "exit" && api::wait_for_sync(0) != -1 ? 2 : 0;
    api::SyncStatus status;
    api::get_sync_status(status);
    if (status.running || status.watching) failed |= 1;
    if (api::wait_for_sync(0) != -1 || orverrno.message() != "not running") failed |= 2;
    if (how == "uninit" && api::uninit() != 0) failed |= 4;
    if (how == "init") {
      if (api::init() != 0 || api::wait_for_sync(5000) != 0) failed |= 8;
      api::get_sync_status(status);
      if (!status.running) failed |= 16;  // a library of its own, stopped at exit
    }
    if (how == "_exit") _exit(failed);
    std::exit(failed);  // static destructors run, as at a return from main
  }
  int status = 0;
  waitpid(child, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

// ThreadSanitizer can't start a thread in a child of a threaded process.
#if defined(__SANITIZE_THREAD__)
constexpr bool kThreadsInAChild = false;
#else
constexpr bool kThreadsInAChild = true;
#endif

TEST_F(GatewayLifeTest, AForkedChildNeverStopsTheParentsThread) {
  Set("/devices/d1/display_name", "0");
  api::set_on_dev_info_change({"display_name"}, OnInfo<0>);
  Start();
  int round = 0;
  for (const std::string how : {"exit", "uninit", "init", "_exit"}) {
    // qemu's user mode can't either ($ORV_TESTS_EMULATED, set by the armhf build).
    if (how == "init" && (!kThreadsInAChild || std::getenv("ORV_TESTS_EMULATED") != nullptr)) {
      continue;
    }
    EXPECT_EQ(InChild(how), 0) << how;
    Set("/devices/d1/display_name", std::to_string(++round));
    ASSERT_TRUE(Calls::WaitFor("0 upd d1 display_name", round)) << how;
    EXPECT_EQ(Cached("d1").substr(0, 15), "d1 p= [] name=" + std::to_string(round)) << how;
    EXPECT_TRUE(Status().running && Status().watching) << how;
    EXPECT_EQ(api::wait_for_sync(0), 0) << how;
  }
}

// A NEW_DEV subscriber of init()'s own load that calls init() is refused; the
// outer init() goes on and starts the library.
void InitsAgain(orv::DevInfoChangeType type, const std::string& id, const std::string&) {
  if (type != orv::NEW_DEV) return;
  Calls::Add(id + " " + Result(api::init()));
}

TEST_F(GatewayLifeTest, InitFromItsOwnLoadIsRefused) {
  Set("/devices/d1/macs/m1", "i1");
  api::set_on_dev_info_change({"macs"}, InitsAgain);
  ASSERT_EQ(api::init(), 0);
  ASSERT_EQ(api::wait_for_sync(5000), 0);  // the thread's own reload: already running
  EXPECT_EQ(Calls::Take(), (Texts{"d1 -1 35 called from a callback", "d1 -1 16 already running"}));
}

// No room for the thread's stack: init() passes the failure on and leaves the
// library stopped; once there is room, init() starts it.
TEST_F(GatewayLifeTest, AThreadThatCannotStartLeavesTheLibraryStopped) {
  Set("/devices/d1/macs/m1", "i1");
  pthread_attr_t saved, huge;
  ASSERT_EQ(pthread_getattr_default_np(&saved), 0);
  ASSERT_EQ(pthread_attr_init(&huge), 0);
  ASSERT_EQ(pthread_attr_setstacksize(&huge, SIZE_MAX / 2 + 1), 0);
  ASSERT_EQ(pthread_setattr_default_np(&huge), 0);
  bool threw = false;
  try {
    api::init();
  } catch (const std::system_error&) {
    threw = true;
  }
  ASSERT_EQ(pthread_setattr_default_np(&saved), 0);
  pthread_attr_destroy(&huge);
  pthread_attr_destroy(&saved);
  if (!threw) GTEST_SKIP() << "a thread with a stack of half the address space started here";
  EXPECT_FALSE(Status().running);
  EXPECT_EQ(Result(api::wait_for_sync(0)), "-1 107 not running");
  EXPECT_EQ(Owner("m1"), "d1");  // the load went well
  Start();
}

// The status counts what the last load found but could not read: a node
// and a link where values belong (a field, a MAC's IP), a value over the cap.
// An absent value, or one that reads, doesn't count.
TEST_F(GatewayLifeTest, StatusCountsTheValuesTheLastLoadCouldNotRead) {
  Set("/devices/d1/display_name/inner", "a node, not a value");
  Set("/devices/d1/device_os", "linux");
  Set("/devices/d2/macs/m2/inner", "a node, not an IP");
  std::filesystem::create_symlink("/etc/hostname", store_.root() + "/devices/d2/device_type");
  std::ofstream(store_.root() + "/devices/d2/device_model") << std::string(2 << 20, 'x');
  Start();
  EXPECT_EQ(Status().last_load_unreadable, 4);
  EXPECT_EQ(Cached("d1").substr(0, 20), "d1 p= [] name= type=");
  store_.Delete("/devices/d2");
  g_devices.load();
  EXPECT_EQ(Status().last_load_unreadable, 1);
}

}  // namespace
