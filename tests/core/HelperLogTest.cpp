// Log lines as the journal receives them: the served tests see only the fallback to standard error.

#include "core/HelperLog.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>

#include <cstring>

#include "tests/support/Subprocess.h"

namespace velmora::core {
namespace {

TEST(HelperLog, WritesItsFieldsToTheJournalSocket) {
    testing::TemporaryDirectory directory;
    const auto report = directory.path() / "report";
    // In a private mount namespace with an empty /run, the journal socket is the one made here.
    pid_t pid = ::fork();
    if (pid == 0) {
        if (::unshare(CLONE_NEWNS) != 0 ||
            ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
            ::mount("tmpfs", "/run", "tmpfs", 0, "mode=0755") != 0 || ::mkdir("/run/systemd", 0755) != 0 ||
            ::mkdir("/run/systemd/journal", 0755) != 0)
            ::_exit(90);
        int journal = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_un address{.sun_family = AF_UNIX};
        std::strcpy(address.sun_path, "/run/systemd/journal/socket");
        if (::bind(journal, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) ::_exit(91);
        HelperLog::service.info("Helper started");
        HelperLog::shell.error("Shell launch failed: No such file");
        HelperLog::installer.info("Clean-up done\nin 2 steps");
        std::string received;
        char datagram[8192];
        for (int i = 0; i < 3; ++i) {
            pollfd ready{journal, POLLIN, 0};
            ssize_t n = ::poll(&ready, 1, 5000) == 1 ? ::recv(journal, datagram, sizeof datagram, 0) : -1;
            if (n <= 0) ::_exit(92);
            received.append(datagram, static_cast<size_t>(n)).append("--\n");
        }
        testing::writeFile(report, received);
        ::_exit(0);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    auto r = testing::readFile(report);
    EXPECT_NE(r.find("MESSAGE=Helper started\nPRIORITY=6\nSYSLOG_IDENTIFIER=com.norwick.VelmoraHelper\n"
                     "HELPER_CATEGORY=service\n"),
              std::string::npos)
        << r;
    EXPECT_NE(r.find("MESSAGE=Shell launch failed: No such file\nPRIORITY=3\n"), std::string::npos) << r;
    EXPECT_NE(r.find("HELPER_CATEGORY=shell\n"), std::string::npos) << r;
    EXPECT_NE(r.find("HELPER_CATEGORY=installer\n"), std::string::npos) << r;
    // A value with a line feed goes in the length-prefixed form.
    const std::string multiLine =
        "MESSAGE\n" + std::string("\x18\0\0\0\0\0\0\0", 8) + "Clean-up done\nin 2 steps\n";
    EXPECT_NE(r.find(multiLine), std::string::npos) << r;
}

}  // namespace
}  // namespace velmora::core
