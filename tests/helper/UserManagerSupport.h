#pragma once

// A real `systemd --user` for a throw-away home and runtime directory. Before the first test the
// process moves into a private mount namespace whose empty /run/systemd says "booted with systemd".

#include <sys/types.h>

#include <filesystem>
#include <string>
#include <vector>

#include "tests/support/Subprocess.h"

namespace velmora::testing {

struct UserManager {
    // Without `start` the directories exist but no manager answers.
    explicit UserManager(bool start = true);
    ~UserManager();
    // Runs `executable` as the user would: this home and runtime directory, a plain PATH.
    [[nodiscard]] ProcessResult run(const std::filesystem::path& executable,
                                    const std::vector<std::string>& arguments) const;
    // The helper the manager runs (0 for none), and the one answering a client of `serviceName`.
    [[nodiscard]] pid_t helperPid() const;
    [[nodiscard]] pid_t infoPid(const std::string& serviceName) const;
    // Bind-mounts `source` over `target` (then remounts with `flags`) until the manager ends.
    void mountOver(const std::filesystem::path& source, const std::filesystem::path& target,
                   unsigned long flags = 0);

    TemporaryDirectory scratch;
    std::filesystem::path home = scratch.path() / "home", runtime = scratch.path() / "run";
    std::filesystem::path installed = home / "Library/Application Support/Velmora Helper/Velmora Helper.app";
    bool ready = false;  // false where no private namespace could be had (not root)
    pid_t manager = -1;
    std::vector<std::filesystem::path> mounts;
};

}  // namespace velmora::testing
