#include "core/HelperUserAccount.h"

#include <grp.h>
#include <gtest/gtest.h>
#include <pwd.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <functional>
#include <string>

namespace velmora::core {
namespace {

TEST(HelperUserAccountTest, EntryFieldsWinAndEmptyOnesFallBack) {
    std::string name = "ada";
    std::string home = "/home/ada";
    std::string shell = "/bin/fish";
    std::string empty;
    passwd entry{};
    entry.pw_name = name.data();
    entry.pw_dir = home.data();
    entry.pw_shell = shell.data();
    EXPECT_EQ(HelperUserAccount::fromEntry(&entry, "platform", "/platform/home"),
              (HelperUserAccount{"ada", "/home/ada", "/bin/fish"}));

    entry.pw_shell = empty.data();
    entry.pw_dir = empty.data();
    entry.pw_name = empty.data();
    EXPECT_EQ(HelperUserAccount::fromEntry(&entry, "platform", "/platform/home"),
              (HelperUserAccount{"platform", "/platform/home", "/bin/zsh"}));

    // A field missing altogether reads as empty.
    entry.pw_shell = nullptr;
    entry.pw_dir = nullptr;
    entry.pw_name = nullptr;
    EXPECT_EQ(HelperUserAccount::fromEntry(&entry, "platform", "/platform/home"),
              (HelperUserAccount{"platform", "/platform/home", "/bin/zsh"}));

    EXPECT_EQ(HelperUserAccount::fromEntry(nullptr, "platform", "/platform/home"),
              (HelperUserAccount{"platform", "/platform/home", "/bin/zsh"}));
}

// Runs `check` in a child running as `uid`; the child's exit status is the check's.
int runAs(uid_t uid, const std::function<int()>& check) {
    pid_t pid = ::fork();
    if (pid == 0) {
        if (::setgroups(0, nullptr) != 0 || ::setgid(uid) != 0 || ::setuid(uid) != 0) ::_exit(90);
        ::_exit(check());
    }
    int status = 0;
    ::waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 100;
}

TEST(HelperUserAccountTest, CurrentReadsTheAccountDatabaseOfTheRealUser) {
    const passwd* nobody = ::getpwuid(65534);
    ASSERT_NE(nobody, nullptr);
    const HelperUserAccount expected{nobody->pw_name, nobody->pw_dir, nobody->pw_shell};
    EXPECT_EQ(runAs(65534, [&] { return HelperUserAccount::current() == expected ? 0 : 1; }), 0);
}

TEST(HelperUserAccountTest, UserWithoutAnEntryGetsThePlatformAnswers) {
    constexpr uid_t kUnlisted = 48213;
    ASSERT_EQ(::getpwuid(kUnlisted), nullptr);
    int status = runAs(kUnlisted, [] {
        ::setenv("USER", "ghost", 1);
        ::setenv("HOME", "/var/empty-ghost", 1);
        auto account = HelperUserAccount::current();
        if (account.userName != "ghost") return 1;
        if (account.homeDirectory != "/var/empty-ghost") return 2;
        if (account.loginShell != "/bin/zsh") return 3;
        ::unsetenv("USER");
        ::unsetenv("LOGNAME");
        return HelperUserAccount::current().userName == std::to_string(kUnlisted) ? 0 : 4;
    });
    EXPECT_EQ(status, 0);
}

}  // namespace
}  // namespace velmora::core
