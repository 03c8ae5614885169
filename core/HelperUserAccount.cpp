#include "core/HelperUserAccount.h"

#include <pwd.h>
#include <unistd.h>

#include <functional>
#include <vector>

#include "platform/Environment.h"

namespace velmora::core {

namespace {
// A field that is missing altogether reads as empty, so the same fallbacks apply.
std::string fieldText(const char* field) {
    return field != nullptr ? std::string(field) : std::string();
}

// Linux has no user-name query of its own beyond the account database: the login environment's
// USER, then LOGNAME, else the numeric user id so that USER and LOGNAME are never empty.
std::string platformUserName() {
    for (const char* name : {"USER", "LOGNAME"})
        if (auto value = platform::environmentValue(name); value && !value->empty()) return *value;
    return std::to_string(::getuid());
}
}  // namespace

HelperUserAccount HelperUserAccount::fromEntry(const passwd* entry, const std::string& userName,
                                               const std::string& homeDirectory) {
    if (entry == nullptr) return {userName, homeDirectory, kFallbackLoginShell};
    HelperUserAccount account{fieldText(entry->pw_name), fieldText(entry->pw_dir),
                              fieldText(entry->pw_shell)};
    if (account.userName.empty()) account.userName = userName;
    if (account.homeDirectory.empty()) account.homeDirectory = homeDirectory;
    if (account.loginShell.empty()) account.loginShell = kFallbackLoginShell;
    return account;
}

HelperUserAccount HelperUserAccount::current() {
    const std::string fallbackHome = platform::currentHomeDirectory().string();
    long size = ::sysconf(_SC_GETPW_R_SIZE_MAX);
    std::vector<char> buffer(size > 0 ? static_cast<std::size_t>(size) : 16384);
    passwd storage{};
    passwd* entry = nullptr;
    while (::getpwuid_r(::getuid(), &storage, buffer.data(), buffer.size(), &entry) == ERANGE &&
           buffer.size() < (1U << 20))
        buffer.resize(buffer.size() * 2);
    return fromEntry(entry, platformUserName(), fallbackHome);
}

}  // namespace velmora::core

std::size_t std::hash<velmora::core::HelperUserAccount>::operator()(
    const velmora::core::HelperUserAccount& account) const noexcept {
    std::hash<std::string> text;
    std::size_t seed = text(account.userName);
    for (const auto* field : {&account.homeDirectory, &account.loginShell})
        seed ^= text(*field) + 0x9e3779b97f4a7c15ULL + (seed << 6) + (seed >> 2);
    return seed;
}
