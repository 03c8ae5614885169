// Starting a shell: the pseudo-terminal, the child's argument and environment vectors, the child.

#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <new>
#include <vector>

#include "core/HelperLog.h"
#include "core/HelperUserAccount.h"
#include "core/PTYShellProcess.h"
#include "kit/ShellLaunchEnvironment.h"
#include "platform/DescriptorLimit.h"
#include "platform/Environment.h"
#include "pty/SpawnLoginShell.h"

extern char** environ;

namespace velmora::core {

namespace env = kit::ShellLaunchEnvironment;
using platform::UniqueFd;

namespace {

std::atomic<const PTYShellProcess::StartObserver*> startObserver{nullptr};

// The first locale variable that is set, as POSIX picks the character-type locale.
env::Locale currentLocale() {
    for (const char* name : {"LC_ALL", "LC_CTYPE", "LANG"})
        if (auto value = platform::environmentValue(name); value && !value->empty())
            return env::Locale::fromPosixName(*value);
    return {};
}

env::Variables ownEnvironment() {
    env::Variables variables;
    for (char** entry = environ; entry != nullptr && *entry != nullptr; ++entry) {
        std::string_view text(*entry);
        auto equals = text.find('=');
        if (equals == std::string_view::npos) continue;
        variables.emplace(std::string(text.substr(0, equals)), std::string(text.substr(equals + 1)));
    }
    return variables;
}

// Everything the child reads, laid out before the fork. The vectors point into the texts, so the
// object is built in place and never copied or moved: a moved short string takes its characters
// with it and leaves the pointer dangling.
class ChildVectors {
  public:
    ChildVectors(std::string argumentZero, const env::Variables& environment)
        : argumentZero_(std::move(argumentZero)) {
        environmentTexts_.reserve(environment.size());
        for (const auto& [name, value] : environment) environmentTexts_.push_back(name + "=" + value);
        // Byte order of the whole NAME=VALUE texts: "A=1" sorts before "AB=2".
        std::sort(environmentTexts_.begin(), environmentTexts_.end());
        argumentVector_ = {argumentZero_.data(), nullptr};
        environmentVector_.reserve(environmentTexts_.size() + 1);
        for (auto& text : environmentTexts_) environmentVector_.push_back(text.data());
        environmentVector_.push_back(nullptr);
    }
    ChildVectors(const ChildVectors&) = delete;
    ChildVectors& operator=(const ChildVectors&) = delete;

    [[nodiscard]] char* const* argumentVector() const { return argumentVector_.data(); }
    [[nodiscard]] char* const* environmentVector() const { return environmentVector_.data(); }

  private:
    std::string argumentZero_;
    std::vector<std::string> environmentTexts_;
    std::vector<char*> argumentVector_;
    std::vector<char*> environmentVector_;
};

}  // namespace

tl::expected<std::shared_ptr<PTYShellProcess>, PTYShellProcess::Failure> PTYShellProcess::spawn(
    const kit::ShellLaunchRequest& request) {
    const HelperUserAccount account = HelperUserAccount::current();
    auto shellPath = resolveShellPath(request.shellPath, account.loginShell);
    if (!shellPath) return tl::unexpected(shellPath.error());
    std::string workingDirectory = resolveWorkingDirectory(request.workingDirectory, account.homeDirectory);

    auto terminal = pty::openPseudoTerminal(windowSize(request.columns, request.rows));
    if (!terminal) return tl::unexpected(Failure::fromSystemError("openpty failed: ", terminal.error()));

    char ttyName[256];
    if (int error = ::ttyname_r(terminal->slave.get(), ttyName, sizeof ttyName); error != 0)
        return tl::unexpected(
            Failure::fromSystemError("ttyname failed: ", platform::SystemError{"ttyname", error}));
    std::string ttyPath = ttyName;

    std::optional<ChildVectors> vectors;
    try {
        std::string argumentZero =
            request.loginShell ? env::loginArgumentZero(*shellPath) : env::executableName(*shellPath);
        auto environment =
            env::makeEnvironment(account.homeDirectory, account.userName, *shellPath,
                                 userTemporaryDirectory(), env::languageValue(currentLocale()),
                                 request.terminalProgramVersion, ownEnvironment(), request.environment);
        vectors.emplace(std::move(argumentZero), environment);
    } catch (const std::bad_alloc&) {
        return tl::unexpected(Failure{"Out of memory preparing " + *shellPath});
    }

    // The helper's own raised descriptor limit is not the shell's: it gets the one the helper found.
    const std::optional<rlimit> descriptorLimit = platform::descriptorLimitBeforeRaise();
    auto child = pty::spawn_login_shell(ttyPath.c_str(), workingDirectory.c_str(), shellPath->c_str(),
                                        vectors->argumentVector(), vectors->environmentVector(),
                                        descriptorLimit ? &*descriptorLimit : nullptr);
    if (!child)
        return tl::unexpected(
            Failure::fromSystemError("fork for " + *shellPath + " failed: ", child.error()));
    const pid_t pid = child->pid;
    HelperLog::shell.info("Spawned " + *shellPath + " pid=" + std::to_string(pid) + " tty=" + ttyPath);
    auto process = std::shared_ptr<PTYShellProcess>(
        new PTYShellProcess(pid, std::make_shared<const UniqueFd>(std::move(child->pidfd)),
                            std::move(ttyPath), std::move(*shellPath), std::move(workingDirectory),
                            std::move(terminal->master), std::move(terminal->slave)));
    if (const auto* observer = startObserver.load()) (*observer)(*process);
    return process;
}

void PTYShellProcess::setStartObserver(StartObserver observer) {
    // Never freed: a spawn on another thread may still be calling an earlier one.
    startObserver.store(new StartObserver(std::move(observer)));
}

}  // namespace velmora::core
