// AsAnotherUser, for tests whose truth depends on permissions: when the
// suite runs as root (as CI does), `body` runs in a child process as the user
// nobody, as a service process of another user would, and must return 0.
// Run by another user than root, the test is skipped (no second user to be):
// call it last.

#ifndef ORV_TESTS_SUPPORT_UNPRIVILEGED_H_
#define ORV_TESTS_SUPPORT_UNPRIVILEGED_H_

#include <grp.h>
#include <gtest/gtest.h>
#include <pwd.h>
#include <unistd.h>

#include <functional>

inline void AsAnotherUser(const std::function<int()>& body) {
  const passwd* nobody = getpwnam("nobody");
  if (geteuid() != 0 || nobody == nullptr) GTEST_SKIP() << "needs root, to run a part as nobody";
  EXPECT_EXIT(
      {
        if (setgroups(0, nullptr) != 0 || setgid(nobody->pw_gid) != 0 ||
            setuid(nobody->pw_uid) != 0) {
          _exit(77);
        }
        _exit(body());
      },
      ::testing::ExitedWithCode(0), "");
}

#endif  // ORV_TESTS_SUPPORT_UNPRIVILEGED_H_
