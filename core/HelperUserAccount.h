#pragma once

#include <cstddef>
#include <string>

struct passwd;

namespace velmora::core {

// Who a shell runs as: the current user's account record, with a fallback for every field.
struct HelperUserAccount {
    std::string userName;
    // An absolute path.
    std::string homeDirectory;
    // Never empty after current(); not checked for existence here.
    std::string loginShell;

    // The account of the real user id. Never fails. Without a database entry (or with empty fields)
    // the name comes from USER, then LOGNAME, then the numeric id; the home directory from $HOME
    // when absolute, else "/"; the shell is /bin/zsh.
    [[nodiscard]] static HelperUserAccount current();

    // The rules of current() applied to one account-database entry (null when there is none) and
    // the platform's own answers for the name and home directory.
    [[nodiscard]] static HelperUserAccount fromEntry(const passwd* entry, const std::string& platformUserName,
                                                     const std::string& platformHomeDirectory);

    friend bool operator==(const HelperUserAccount&, const HelperUserAccount&) = default;
};

inline constexpr const char* kFallbackLoginShell = "/bin/zsh";

}  // namespace velmora::core

template <>
struct std::hash<velmora::core::HelperUserAccount> {
    std::size_t operator()(const velmora::core::HelperUserAccount& account) const noexcept;
};
