#include "pty/SpawnLoginShell.h"

#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/syscall.h>
#include <unistd.h>
#include <utmp.h>

#include <cerrno>

namespace velmora::pty {

namespace {
[[noreturn]] void failChild() {
    _exit(kChildSetUpFailureStatus);
}

void resetSignalDisposition(int number) {
    struct sigaction action {};
    action.sa_handler = SIG_DFL;
    sigemptyset(&action.sa_mask);
    (void)::sigaction(number, &action, nullptr);  // SIGKILL, SIGSTOP and reserved numbers refuse; fine.
}

void closeStrayDescriptors() {
    if (::syscall(SYS_close_range, 3U, ~0U, 0U) == 0) return;
    // Kernels before 5.9: the same effect one descriptor at a time.
    int tableSize = ::getdtablesize();
    for (int fd = 3; fd < tableSize; ++fd) ::close(fd);
}
}  // namespace

pid_t spawn_login_shell(int terminalDescriptor, const char* workingDirectory, const char* shellPath,
                        char* const argumentVector[], char* const environmentVector[],
                        const rlimit* descriptorLimit) {
    // Every signal stays blocked from before the fork until the child has reset its dispositions,
    // so that none of the helper's handlers can run in the child.
    sigset_t all;
    sigset_t previous;
    sigfillset(&all);
    ::pthread_sigmask(SIG_SETMASK, &all, &previous);
    pid_t pid = ::fork();
    if (pid != 0) {
        int forkError = errno;
        ::pthread_sigmask(SIG_SETMASK, &previous, nullptr);
        errno = forkError;
        return pid;
    }

    if (::login_tty(terminalDescriptor) != 0) failChild();
    for (int number = 1; number < NSIG; ++number) resetSignalDisposition(number);
    sigset_t empty;
    sigemptyset(&empty);
    ::sigprocmask(SIG_SETMASK, &empty, nullptr);
    if (workingDirectory != nullptr && ::chdir(workingDirectory) != 0) failChild();
    closeStrayDescriptors();
    if (descriptorLimit != nullptr) (void)::setrlimit(RLIMIT_NOFILE, descriptorLimit);
    ::execve(shellPath, argumentVector, environmentVector);
    failChild();
}

tl::expected<PseudoTerminal, platform::SystemError> openPseudoTerminal(const winsize& size) {
    PseudoTerminal pair;
    pair.controlling.reset(::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC));
    if (!pair.controlling.valid()) return tl::unexpected(platform::SystemError::fromErrno("posix_openpt"));
    if (::grantpt(pair.controlling.get()) != 0)
        return tl::unexpected(platform::SystemError::fromErrno("grantpt"));
    if (::unlockpt(pair.controlling.get()) != 0)
        return tl::unexpected(platform::SystemError::fromErrno("unlockpt"));
    // Opening the peer through the controlling side needs no path lookup in /dev/pts.
    pair.terminal.reset(::ioctl(pair.controlling.get(), TIOCGPTPEER, O_RDWR | O_NOCTTY | O_CLOEXEC));
    if (!pair.terminal.valid()) return tl::unexpected(platform::SystemError::fromErrno("TIOCGPTPEER"));
    if (::ioctl(pair.controlling.get(), TIOCSWINSZ, &size) != 0)
        return tl::unexpected(platform::SystemError::fromErrno("TIOCSWINSZ"));
    return pair;
}

}  // namespace velmora::pty
