// velmora-shell: the helper from a terminal. Without a command it opens a shell through the helper and
// bridges this terminal to it until the shell exits; the commands print the helper's facts, update it
// from a release manifest, cancel an update, or ask it to uninstall itself.

#include <signal.h>

#include <cstdio>
#include <iostream>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "tools/velmora-shell/Commands.h"
#include "tools/velmora-shell/ShellSession.h"

namespace {

using namespace velmora::shell;

constexpr const char* kUsage =
    "usage: velmora-shell [--socket PATH] [--shell PATH] [--cwd DIR] [--no-login]\n"
    "       velmora-shell info [--json] [--socket PATH]\n"
    "       velmora-shell update MANIFEST-FILE [--socket PATH]\n"
    "       velmora-shell cancel-update [--socket PATH]\n"
    "       velmora-shell uninstall [--socket PATH]\n"
    "       velmora-shell [COMMAND] --help\n";

constexpr const char* kSocketHelp =
    "  --socket PATH  the helper's socket; by default $XDG_RUNTIME_DIR/group.com.norwick.Velmora.helper,\n"
    "                 where a helper is started when none listens\n";

const std::map<std::string_view, std::string_view> kCommandHelp = {
    {"",
     "Opens a shell through the helper in this terminal; its exit status is the shell's, or 128 + the\n"
     "signal that ended it.\n"
     "  --shell PATH   the shell to run (default: the user's login shell)\n"
     "  --cwd DIR      the directory it starts in (default: the home directory)\n"
     "  --no-login     not a login shell\n"},
    {"info",
     "Prints the running helper's version, bundle, process and user.\n"
     "  --json         the helper's info document instead\n"},
    {"update",
     "Updates the helper from the release manifest in MANIFEST-FILE, showing the download's\n"
     "progress on standard error; the helper restarts into the new version.\n"},
    {"cancel-update", "Asks the helper to stop the update that is running.\n"},
    {"uninstall", "Asks the helper to uninstall itself; refused while any shell is open.\n"},
};

struct Options {
    std::string command;
    std::optional<std::string> socket;
    ShellOptions shell;
    InfoFormat format = InfoFormat::text;
    std::vector<std::string> operands;
    bool help = false;
};

std::optional<Options> parseArguments(int argc, char** argv) {
    Options options;
    int index = 1;
    if (index < argc && kCommandHelp.contains(argv[index]) && argv[index][0] != '\0')
        options.command = argv[index++];
    const bool shell = options.command.empty();
    for (; index < argc; ++index) {
        std::string_view argument = argv[index];
        auto value = [&](std::optional<std::string>& into) {
            if (index + 1 >= argc) return false;
            into = argv[++index];
            return true;
        };
        if (argument == "--help" || argument == "-h") {
            options.help = true;
        } else if (argument == "--socket") {
            if (!value(options.socket)) return std::nullopt;
        } else if (argument == "--shell" && shell) {
            if (!value(options.shell.shell)) return std::nullopt;
        } else if (argument == "--cwd" && shell) {
            if (!value(options.shell.workingDirectory)) return std::nullopt;
        } else if (argument == "--no-login" && shell) {
            options.shell.login = false;
        } else if (argument == "--json" && options.command == "info") {
            options.format = InfoFormat::json;
        } else if (options.command == "update" && !argument.starts_with("--")) {
            options.operands.emplace_back(argument);
        } else {
            return std::nullopt;
        }
    }
    if (!options.help && options.operands.size() != (options.command == "update" ? 1U : 0U))
        return std::nullopt;
    return options;
}

}  // namespace

int main(int argc, char** argv) {
    ::signal(SIGPIPE, SIG_IGN);
    auto options = parseArguments(argc, argv);
    if (!options) {
        std::cerr << kUsage;
        return exitStatus::usage;
    }
    if (options->help) {
        std::cout << kUsage << "\n" << kCommandHelp.at(options->command) << kSocketHelp;
        return exitStatus::ok;
    }
    Outcome outcome;
    if (auto address = helperAddress(options->socket); !address) {
        outcome = address.error();
    } else if (options->command.empty()) {
        outcome = runShell(*address, options->shell);
    } else if (options->command == "info") {
        outcome = runInfo(*address, options->format);
    } else if (options->command == "update") {
        outcome = runUpdate(*address, options->operands.front());
    } else if (options->command == "cancel-update") {
        outcome = runCancelUpdate(*address);
    } else {
        outcome = runUninstall(*address);
    }
    if (!outcome.message.empty()) std::cerr << "velmora-shell: " << outcome.message << "\n";
    return outcome.status;
}
