#include "kit/ShellLaunchEnvironment.h"

namespace velmora::kit::ShellLaunchEnvironment {

namespace {
constexpr std::string_view kColorTerm = "truecolor";
constexpr std::string_view kLanguageFallback = "en_US.UTF-8";
constexpr std::string_view kEncodingSuffix = ".UTF-8";

bool passesThrough(const std::string& name) {
    return name == "__CF_USER_TEXT_ENCODING" || name == "SSH_AUTH_SOCK";
}
}  // namespace

const std::unordered_set<std::string>& droppedInheritedVariables() {
    static const std::unordered_set<std::string> names{"XPC_SERVICE_NAME", "XPC_FLAGS", "MallocNanoZone",
                                                       "DYLD_INSERT_LIBRARIES"};
    return names;
}

Locale Locale::fromPosixName(std::string_view name) {
    // language[_territory][.codeset][@modifier]
    name = name.substr(0, name.find_first_of(".@"));
    if (name.empty() || name == "C" || name == "POSIX") return {};
    Locale locale;
    auto underscore = name.find('_');
    locale.languageCode = std::string(name.substr(0, underscore));
    if (underscore != std::string_view::npos) locale.regionCode = std::string(name.substr(underscore + 1));
    return locale;
}

std::string executableName(std::string_view shellPath) {
    while (shellPath.size() > 1 && shellPath.back() == '/') shellPath.remove_suffix(1);
    auto slash = shellPath.rfind('/');
    if (slash != std::string_view::npos && shellPath.size() > 1) shellPath.remove_prefix(slash + 1);
    return std::string(shellPath);
}

std::string loginArgumentZero(std::string_view shellPath) {
    return "-" + executableName(shellPath);
}

std::string languageValue(const Locale& locale) {
    if (!locale.languageCode || locale.languageCode->empty()) return std::string(kLanguageFallback);
    std::string base = *locale.languageCode;
    if (locale.regionCode && !locale.regionCode->empty()) base += "_" + *locale.regionCode;
    return base + std::string(kEncodingSuffix);
}

Variables makeEnvironment(const std::string& homeDirectory, const std::string& userName,
                          const std::string& shellPath, const std::optional<std::string>& temporaryDirectory,
                          const std::string& languageValue,
                          const std::optional<std::string>& terminalProgramVersion,
                          const Variables& inherited, const Variables& additional) {
    const auto& dropped = droppedInheritedVariables();
    Variables environment;
    for (const auto& [name, value] : inherited)
        if (!dropped.contains(name) && passesThrough(name)) environment[name] = value;

    environment["HOME"] = homeDirectory;
    environment["USER"] = userName;
    environment["LOGNAME"] = userName;
    environment["SHELL"] = shellPath;
    environment["PATH"] = defaultPath;
    environment["LANG"] = languageValue;
    environment["TERM"] = terminalType;
    environment["COLORTERM"] = kColorTerm;
    environment["TERM_PROGRAM"] = terminalProgram;
    if (terminalProgramVersion && !terminalProgramVersion->empty())
        environment["TERM_PROGRAM_VERSION"] = *terminalProgramVersion;
    if (temporaryDirectory && !temporaryDirectory->empty()) environment["TMPDIR"] = *temporaryDirectory;

    for (const auto& [name, value] : additional)
        if (!dropped.contains(name)) environment[name] = value;
    return environment;
}

}  // namespace velmora::kit::ShellLaunchEnvironment
