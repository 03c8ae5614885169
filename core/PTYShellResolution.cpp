// Where a requested shell and start directory lead, and the temporary directory a shell is given.

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <vector>

#include "core/PTYShellProcess.h"
#include "kit/HelperVersion.h"
#include "platform/Environment.h"

namespace velmora::core {

namespace {

constexpr std::size_t kTemporaryDirectoryBufferSize = 1024;

// Unicode white space and line breaks, as a version's text is trimmed.
std::string trimmed(std::string_view text) {
    return std::string(kit::trimWhitespace(text));
}

std::optional<std::string> lookUpHome(const std::string& userName) {
    long size = ::sysconf(_SC_GETPW_R_SIZE_MAX);
    std::vector<char> buffer(size > 0 ? static_cast<std::size_t>(size) : 16384);
    passwd storage{};
    passwd* entry = nullptr;
    if (::getpwnam_r(userName.c_str(), &storage, buffer.data(), buffer.size(), &entry) != 0 ||
        entry == nullptr || entry->pw_dir == nullptr)
        return std::nullopt;
    return std::string(entry->pw_dir);
}

// "~" and "~/x" lead to `home`, "~name/x" to that user's home; an unknown user is left unexpanded.
std::string expandTilde(const std::string& path, const std::string& home) {
    if (path.empty() || path[0] != '~') return path;
    auto slash = path.find('/');
    std::string rest = slash == std::string::npos ? std::string() : path.substr(slash);
    std::string user = path.substr(1, slash == std::string::npos ? std::string::npos : slash - 1);
    std::optional<std::string> base = user.empty() ? std::optional<std::string>(home) : lookUpHome(user);
    if (!base) return path;
    std::string expanded = *base + rest;
    while (expanded.size() > 1 && expanded.back() == '/') expanded.pop_back();
    return expanded;
}

}  // namespace

tl::expected<std::string, PTYShellProcess::Failure> PTYShellProcess::resolveShellPath(
    const std::optional<std::string>& requested, const std::string& loginShell) {
    if (!requested) return loginShell;
    std::string path = trimmed(*requested);
    if (path.empty()) return loginShell;
    if (path[0] != '/') return tl::unexpected(Failure{"Shell path must be absolute: " + path});
    struct stat status {};
    if (::stat(path.c_str(), &status) != 0 || S_ISDIR(status.st_mode))
        return tl::unexpected(Failure{"Shell not found: " + path});
    if (::access(path.c_str(), X_OK) != 0) return tl::unexpected(Failure{"Shell is not executable: " + path});
    return path;
}

std::string PTYShellProcess::resolveWorkingDirectory(const std::optional<std::string>& requested,
                                                     const std::string& home) {
    if (!requested) return home;
    std::string path = trimmed(*requested);
    if (path.empty()) return home;
    path = expandTilde(path, home);
    if (path[0] != '/') return home;
    struct stat status {};
    if (::stat(path.c_str(), &status) != 0 || !S_ISDIR(status.st_mode)) return home;
    return path;
}

// Linux has no per-user temporary directory of its own: the helper's TMPDIR serves when it names an
// existing directory that belongs to the user and fits the buffer the path is handed over in.
std::optional<std::string> PTYShellProcess::userTemporaryDirectory() {
    auto value = platform::environmentValue("TMPDIR");
    if (!value || value->empty() || (*value)[0] != '/' || value->size() + 1 > kTemporaryDirectoryBufferSize)
        return std::nullopt;
    struct stat status {};
    if (::stat(value->c_str(), &status) != 0 || !S_ISDIR(status.st_mode) || status.st_uid != ::getuid())
        return std::nullopt;
    return value;
}

}  // namespace velmora::core
