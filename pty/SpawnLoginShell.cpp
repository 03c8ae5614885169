// The login shell's child is started here by hand, not through platform/Process: between clone and
// exec it may make only async-signal-safe raw system calls (it shares the parent's memory and
// descriptor table until exec), and it does work posix_spawn cannot express: a new session with the
// terminal as its controlling one, a private descriptor table closed above 2, every signal reset.

#include "pty/SpawnLoginShell.h"

#include <fcntl.h>
#include <pthread.h>
#include <sched.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdint>

#if defined(__SANITIZE_THREAD__)
#define VELMORA_THREAD_SANITIZER 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define VELMORA_THREAD_SANITIZER 1
#endif
#endif
#ifndef VELMORA_THREAD_SANITIZER
#define VELMORA_THREAD_SANITIZER 0
#endif

#ifndef CLONE_PIDFD
#define CLONE_PIDFD 0x00001000
#endif

namespace velmora::pty {

namespace {

// The kernel's own sigaction layout (x86-64, arm64, riscv), for rt_sigaction without the C library.
struct KernelSignalAction {
    void (*handler)(int);
    unsigned long flags;
    void (*restorer)();
    std::uint64_t mask;
};
constexpr unsigned long kKernelSignalSetSize = sizeof(std::uint64_t);

// Raw calls only up to exec: the child shares the parent's memory, so neither a sanitizer's
// interceptor nor its instrumentation may run here.
struct ChildPlan {
    const char* terminalPath;
    const char* workingDirectory;
    const char* shellPath;
    char* const* argumentVector;
    char* const* environmentVector;
    const rlimit* descriptorLimit;
};

#define VELMORA_CHILD_CODE __attribute__((no_sanitize("address", "undefined"), noinline))

// The child starts on the parent's descriptor table: it takes a copy of descriptors 0-2 only, so the
// cost does not grow with the helper's thousands of terminals and sockets.
VELMORA_CHILD_CODE bool leaveTheParentsDescriptors() {
#ifndef CLOSE_RANGE_UNSHARE
    constexpr unsigned CLOSE_RANGE_UNSHARE = 1U << 1;
#endif
    if (::syscall(SYS_close_range, 3U, ~0U, CLOSE_RANGE_UNSHARE) == 0) return true;
    // Kernels before 5.9: a full copy, then the same effect one descriptor at a time.
    rlimit limit{};
    if (::syscall(SYS_unshare, CLONE_FILES) != 0 ||
        ::syscall(SYS_prlimit64, 0, RLIMIT_NOFILE, nullptr, &limit) != 0)
        return false;
    for (rlim_t fd = 3; fd < limit.rlim_cur; ++fd) ::syscall(SYS_close, static_cast<int>(fd));
    return true;
}

VELMORA_CHILD_CODE bool becomeTerminalSessionLeader(const char* terminalPath) {
    if (::syscall(SYS_setsid) < 0) return false;
    int terminal = static_cast<int>(::syscall(SYS_openat, AT_FDCWD, terminalPath, O_RDWR));
    if (terminal < 0 || ::syscall(SYS_ioctl, terminal, TIOCSCTTY, 0) != 0) return false;
    for (int target = 0; target <= 2; ++target)
        if (terminal != target && ::syscall(SYS_dup3, terminal, target, 0) < 0) return false;
    if (terminal > 2) ::syscall(SYS_close, terminal);
    return true;
}

VELMORA_CHILD_CODE int childMain(void* raw) {
    const auto& plan = *static_cast<const ChildPlan*>(raw);
    if (!leaveTheParentsDescriptors() || !becomeTerminalSessionLeader(plan.terminalPath))
        return kChildSetUpFailureStatus;
    KernelSignalAction defaultAction{SIG_DFL, 0, nullptr, 0};
    // SIGKILL and SIGSTOP refuse; fine.
    for (int number = 1; number < NSIG; ++number)
        ::syscall(SYS_rt_sigaction, number, &defaultAction, nullptr, kKernelSignalSetSize);
    std::uint64_t empty = 0;
    ::syscall(SYS_rt_sigprocmask, SIG_SETMASK, &empty, nullptr, kKernelSignalSetSize);
    if (plan.workingDirectory != nullptr && ::syscall(SYS_chdir, plan.workingDirectory) != 0)
        return kChildSetUpFailureStatus;
    if (plan.descriptorLimit != nullptr)
        (void)::syscall(SYS_prlimit64, 0, RLIMIT_NOFILE, plan.descriptorLimit, nullptr);
    ::syscall(SYS_execve, plan.shellPath, plan.argumentVector, plan.environmentVector);
    return kChildSetUpFailureStatus;
}

// The child's stack lies in the parent's frame: the parent thread is suspended until the child
// executes or exits, and the child's raw calls need well under a page of it.
constexpr std::size_t kChildStackSize = 16 * 1024;

#undef VELMORA_CHILD_CODE

}  // namespace

tl::expected<SpawnedChild, platform::SystemError> spawn_login_shell(
    const char* terminalPath, const char* workingDirectory, const char* shellPath,
    char* const argumentVector[], char* const environmentVector[], const rlimit* descriptorLimit) {
    const ChildPlan plan{terminalPath,   workingDirectory,  shellPath,
                         argumentVector, environmentVector, descriptorLimit};
    alignas(64) std::byte stack[kChildStackSize];
    // Every signal stays blocked from before the clone until the child has reset its dispositions,
    // so that none of the helper's handlers can run in the child, on the parent's memory.
    sigset_t all;
    sigset_t previous;
    sigfillset(&all);
    ::pthread_sigmask(SIG_SETMASK, &all, &previous);
    int pidfd = -1;
#if VELMORA_THREAD_SANITIZER
    // ThreadSanitizer's clone interceptor takes every clone for a fork; give it one.
    (void)stack;
    pid_t pid = ::fork();
    if (pid == 0) ::_exit(childMain(const_cast<ChildPlan*>(&plan)));
    int cloneError = errno;
    if (pid > 0 && (pidfd = static_cast<int>(::syscall(SYS_pidfd_open, pid, 0))) < 0) {
        int openError = errno;
        ::kill(pid, SIGKILL);
        ::waitpid(pid, nullptr, 0);
        ::pthread_sigmask(SIG_SETMASK, &previous, nullptr);
        return tl::unexpected(platform::SystemError{"pidfd_open", openError});
    }
    // Other builds return once the child has run the shell; this one at least waits until it leads its
    // own session (or has ended), so that its group can be signalled as soon as spawning returns.
    while (pid > 0 && ::getsid(pid) != pid) {
        siginfo_t ended{};
        if (::waitid(static_cast<idtype_t>(P_PIDFD), static_cast<id_t>(pidfd), &ended,
                     WEXITED | WNOHANG | WNOWAIT) != 0 ||
            ended.si_pid != 0)
            break;
        ::sched_yield();
    }
#else
    pid_t pid = ::clone(childMain, stack + kChildStackSize,
                        CLONE_VM | CLONE_VFORK | CLONE_FILES | CLONE_PIDFD | SIGCHLD,
                        const_cast<ChildPlan*>(&plan), &pidfd);
    int cloneError = errno;
#endif
    ::pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    if (pid < 0) return tl::unexpected(platform::SystemError{"clone", cloneError});
    return SpawnedChild{pid, platform::UniqueFd(pidfd)};
}

tl::expected<PseudoTerminal, platform::SystemError> openPseudoTerminal(const winsize& size) {
    PseudoTerminal pair;
    pair.master.reset(::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC));
    if (!pair.master.valid()) return tl::unexpected(platform::SystemError::fromErrno("posix_openpt"));
    if (::grantpt(pair.master.get()) != 0) return tl::unexpected(platform::SystemError::fromErrno("grantpt"));
    if (::unlockpt(pair.master.get()) != 0)
        return tl::unexpected(platform::SystemError::fromErrno("unlockpt"));
    // Opening the peer through the master side needs no path lookup in /dev/pts.
    pair.slave.reset(::ioctl(pair.master.get(), TIOCGPTPEER, O_RDWR | O_NOCTTY | O_CLOEXEC));
    if (!pair.slave.valid()) return tl::unexpected(platform::SystemError::fromErrno("TIOCGPTPEER"));
    if (::ioctl(pair.master.get(), TIOCSWINSZ, &size) != 0)
        return tl::unexpected(platform::SystemError::fromErrno("TIOCSWINSZ"));
    return pair;
}

}  // namespace velmora::pty
