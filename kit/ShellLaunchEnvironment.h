#pragma once

// What a shell sees when it starts: its argument zero, its LANG and its whole environment.
// The environment is built from scratch; only two of the helper's own variables pass through.
// Everything here is pure and safe from any thread.

#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>

namespace velmora::kit::ShellLaunchEnvironment {

using Variables = std::unordered_map<std::string, std::string>;

inline constexpr std::string_view terminalType = "xterm-256color";
inline constexpr std::string_view terminalProgram = "Velmora";
inline constexpr std::string_view defaultPath = "/usr/bin:/bin:/usr/sbin:/sbin";

// Names that never reach a shell, whether inherited or requested.
const std::unordered_set<std::string>& droppedInheritedVariables();

// The parts of a locale that LANG is made of. Either may be absent.
struct Locale {
    std::optional<std::string> languageCode;
    std::optional<std::string> regionCode;

    // Reads a POSIX locale name such as de_CH.UTF-8@euro. "C", "POSIX" and "" have no language.
    [[nodiscard]] static Locale fromPosixName(std::string_view name);

    friend bool operator==(const Locale&, const Locale&) = default;
};

// "-" followed by the last path component: /bin/zsh gives -zsh.
[[nodiscard]] std::string loginArgumentZero(std::string_view shellPath);
// The last path component alone, trailing slashes ignored.
[[nodiscard]] std::string executableName(std::string_view shellPath);

// language_REGION.UTF-8, language.UTF-8, or en_US.UTF-8 without a language.
[[nodiscard]] std::string languageValue(const Locale& locale);

// The shell's complete environment. `inherited` is the helper's own environment, `additional` the
// client's requested variables, which win over everything but the dropped names.
[[nodiscard]] Variables makeEnvironment(const std::string& homeDirectory, const std::string& userName,
                                        const std::string& shellPath,
                                        const std::optional<std::string>& temporaryDirectory,
                                        const std::string& languageValue,
                                        const std::optional<std::string>& terminalProgramVersion,
                                        const Variables& inherited, const Variables& additional);

}  // namespace velmora::kit::ShellLaunchEnvironment
