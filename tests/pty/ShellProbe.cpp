// Stands in for a shell: reports what it was started with, as one "key=value" line each, then
// behaves as PROBE_MODE asks. Everything is checked without opening a descriptor of its own.
//
//   PROBE_MODE unset   exit at once with PROBE_EXIT (default 0)
//   PROBE_MODE=wait    read standard input until a line or end of file, then exit with PROBE_EXIT
//   PROBE_MODE=ignore-hup  ignore SIGHUP and wait for ever (only SIGKILL ends it)

#include <fcntl.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

extern char** environ;

int main(int argc, char** argv) {
    std::string report;
    report += "argv0=" + std::string(argc > 0 ? argv[0] : "") + "\n";
    report += "argc=" + std::to_string(argc) + "\n";
    char cwd[4096];
    report += "cwd=" + std::string(getcwd(cwd, sizeof cwd) != nullptr ? cwd : "?") + "\n";

    std::string fds;
    int limit = getdtablesize();
    for (int fd = 0; fd < limit; ++fd)
        if (fcntl(fd, F_GETFD) != -1) fds += (fds.empty() ? "" : ",") + std::to_string(fd);
    report += "fds=" + fds + "\n";

    sigset_t blocked;
    sigprocmask(SIG_BLOCK, nullptr, &blocked);
    std::string blockedList;
    std::string ignoredList;
    for (int number = 1; number < NSIG; ++number) {
        if (sigismember(&blocked, number) == 1) blockedList += " " + std::to_string(number);
        struct sigaction action {};
        if (sigaction(number, nullptr, &action) == 0 && action.sa_handler == SIG_IGN)
            ignoredList += " " + std::to_string(number);
    }
    report += "blocked=" + blockedList + "\n";
    report += "ignored=" + ignoredList + "\n";
    report += "session_leader=" + std::to_string(getsid(0) == getpid()) + "\n";
    report += "foreground=" + std::to_string(tcgetpgrp(0) == getpid()) + "\n";
    winsize size{};
    ioctl(0, TIOCGWINSZ, &size);
    report += "size=" + std::to_string(size.ws_row) + "x" + std::to_string(size.ws_col) + "\n";
    for (char** entry = environ; *entry != nullptr; ++entry) report += "env=" + std::string(*entry) + "\n";

    const char* mode = getenv("PROBE_MODE");
    bool ignoreHangUp = mode != nullptr && strcmp(mode, "ignore-hup") == 0;
    if (ignoreHangUp) signal(SIGHUP, SIG_IGN);
    report += "END\n";
    if (write(1, report.data(), report.size()) < 0) return 2;

    if (ignoreHangUp)
        for (;;) pause();
    if (mode != nullptr && strcmp(mode, "wait") == 0) {
        char byte;
        while (read(0, &byte, 1) == 1 && byte != '\n') {
        }
    }
    const char* status = getenv("PROBE_EXIT");
    return status != nullptr ? atoi(status) : 0;
}
