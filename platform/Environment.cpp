#include "platform/Environment.h"

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <system_error>
#include <vector>

namespace velmora::platform {

std::optional<std::string> environmentValue(const char* name) {
    const char* value = std::getenv(name);
    if (value == nullptr) return std::nullopt;
    return std::string(value);
}

std::filesystem::path currentHomeDirectory() {
    if (auto home = environmentValue("HOME"); home && !home->empty() && (*home)[0] == '/') return *home;
    long size = ::sysconf(_SC_GETPW_R_SIZE_MAX);
    std::vector<char> buffer(size > 0 ? static_cast<size_t>(size) : 16384);
    passwd entry{};
    passwd* result = nullptr;
    if (::getpwuid_r(::getuid(), &entry, buffer.data(), buffer.size(), &result) == 0 && result != nullptr &&
        result->pw_dir != nullptr)
        return result->pw_dir;
    return "/";
}

tl::expected<void, std::string> checkPrivateDirectory(const std::filesystem::path& directory) {
    struct stat status {};
    if (::lstat(directory.c_str(), &status) != 0)
        return tl::unexpected(directory.string() + " cannot be examined: " + std::strerror(errno));
    if (!S_ISDIR(status.st_mode)) return tl::unexpected(directory.string() + " is not a folder");
    if (status.st_uid == ::geteuid() && (status.st_mode & 077) == 0) return {};
    char mode[8];
    std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(status.st_mode & 07777));
    return tl::unexpected(directory.string() + " belongs to uid " + std::to_string(status.st_uid) +
                          " with mode " + mode + "; it must belong to uid " + std::to_string(::geteuid()) +
                          " and be closed to others (mode 0700)");
}

std::filesystem::path currentExecutablePath() {
    std::error_code error;
    auto path = std::filesystem::read_symlink("/proc/self/exe", error);
    return error ? std::filesystem::path() : path;
}

}  // namespace velmora::platform
