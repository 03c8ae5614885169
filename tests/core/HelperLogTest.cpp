#include "core/HelperLog.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <functional>
#include <string>

#include "platform/UniqueFd.h"

using velmora::core::HelperLog::installer;
using velmora::core::HelperLog::service;
using velmora::core::HelperLog::shell;
using velmora::platform::UniqueFd;

namespace {

struct ChildOutput {
    std::string report;  // what the child wrote to the report pipe
    std::string standardError;
    std::string standardOutput;
    int exitStatus = -1;
};

std::string drain(int fd) {
    std::string out;
    char buffer[4096];
    ssize_t n;
    while ((n = ::read(fd, buffer, sizeof buffer)) > 0) out.append(buffer, static_cast<size_t>(n));
    return out;
}

// Runs `body` in a forked child with a private mount namespace and an empty /run, so that the journal
// socket is whatever the body makes of it. The body writes its findings to `reportFd`.
ChildOutput inPrivateRun(const std::function<int(int reportFd)>& body) {
    int report[2], err[2], out[2];
    EXPECT_EQ(::pipe2(report, O_CLOEXEC), 0);
    EXPECT_EQ(::pipe2(err, O_CLOEXEC), 0);
    EXPECT_EQ(::pipe2(out, O_CLOEXEC), 0);
    pid_t pid = ::fork();
    if (pid == 0) {
        ::dup2(err[1], STDERR_FILENO);
        ::dup2(out[1], STDOUT_FILENO);
        if (::unshare(CLONE_NEWNS) != 0 ||
            ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
            ::mount("tmpfs", "/run", "tmpfs", 0, "mode=0755") != 0)
            ::_exit(90);
        ::_exit(body(report[1]));
    }
    ::close(report[1]);
    ::close(err[1]);
    ::close(out[1]);
    ChildOutput result;
    result.report = drain(report[0]);
    result.standardError = drain(err[0]);
    result.standardOutput = drain(out[0]);
    ::close(report[0]);
    ::close(err[0]);
    ::close(out[0]);
    int status = 0;
    ::waitpid(pid, &status, 0);
    result.exitStatus = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return result;
}

TEST(HelperLog, WritesFieldsToTheJournalSocket) {
    auto result = inPrivateRun([](int reportFd) {
        ::mkdir("/run/systemd", 0755);
        ::mkdir("/run/systemd/journal", 0755);
        UniqueFd journal(::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0));
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::strcpy(address.sun_path, "/run/systemd/journal/socket");
        if (::bind(journal.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) return 91;
        service.info("Helper started");
        shell.error("Shell launch failed: No such file");
        installer.info("Clean-up done");
        for (int i = 0; i < 3; ++i) {
            pollfd p{journal.get(), POLLIN, 0};
            if (::poll(&p, 1, 5000) != 1) return 92;
            char datagram[8192];
            ssize_t n = ::recv(journal.get(), datagram, sizeof datagram, 0);
            if (n <= 0) return 93;
            std::string text(datagram, static_cast<size_t>(n));
            text += "--\n";
            if (::write(reportFd, text.data(), text.size()) != static_cast<ssize_t>(text.size())) return 94;
        }
        return 0;
    });
    ASSERT_EQ(result.exitStatus, 0) << result.standardError;
    const auto& r = result.report;
    EXPECT_NE(r.find("MESSAGE=Helper started\nPRIORITY=6\nSYSLOG_IDENTIFIER=com.norwick.VelmoraHelper\n"
                     "HELPER_CATEGORY=service\n"),
              std::string::npos)
        << r;
    EXPECT_NE(r.find("MESSAGE=Shell launch failed: No such file\nPRIORITY=3\n"), std::string::npos) << r;
    EXPECT_NE(r.find("HELPER_CATEGORY=shell\n"), std::string::npos) << r;
    EXPECT_NE(r.find("HELPER_CATEGORY=installer\n"), std::string::npos) << r;
    EXPECT_EQ(result.standardError, "");
    EXPECT_EQ(result.standardOutput, "");
}

}  // namespace
