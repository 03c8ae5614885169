#include "codesign/ExecutionPolicy.h"

#include <elf.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <optional>

#include "platform/SystemError.h"
#include "platform/UniqueFd.h"

namespace velmora::codesign {

namespace {

// The start of an ELF header: identification, type and machine, the same offsets in both classes.
struct ElfStart {
    unsigned char ident[EI_NIDENT];
    std::uint16_t type;
    std::uint16_t machine;
};

std::optional<ElfStart> readElfStart(int fd) {
    ElfStart start{};
    if (::pread(fd, &start, sizeof start, 0) != static_cast<ssize_t>(sizeof start)) return std::nullopt;
    if (std::memcmp(start.ident, ELFMAG, SELFMAG) != 0) return std::nullopt;
    return start;
}

// This machine, as the program running now was built for it.
const std::optional<ElfStart>& hostElf() {
    static const std::optional<ElfStart> host = [] {
        platform::UniqueFd self(::open("/proc/self/exe", O_RDONLY | O_CLOEXEC));
        return self.valid() ? readElfStart(self.get()) : std::nullopt;
    }();
    return host;
}

}  // namespace

tl::expected<void, CodeSignError> assessExecutionPolicy(const std::filesystem::path& executable) {
    std::string quoted = "\"" + executable.string() + "\"";
    auto refuse = [](Status status, std::string text) {
        return tl::unexpected(CodeSignError{status, std::move(text)});
    };
    platform::UniqueFd file(::open(executable.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK));
    struct stat status {};
    if (!file.valid() || ::fstat(file.get(), &status) != 0)
        return refuse(Status::executableUnusable,
                      "The executable " + quoted +
                          " cannot be opened: " + platform::SystemError::fromErrno("open").reason() + ".");
    if (!S_ISREG(status.st_mode))
        return refuse(Status::executableUnusable, "The executable " + quoted + " is not a regular file.");
    if ((status.st_mode & (S_IXUSR | S_IXGRP | S_IXOTH)) == 0)
        return refuse(Status::executableUnusable, "The executable " + quoted + " is not marked executable.");
    auto elf = readElfStart(file.get());
    if (!elf || (elf->type != ET_EXEC && elf->type != ET_DYN))
        return refuse(Status::executableNotElf, "The executable " + quoted + " is not an ELF program.");
    const auto& host = hostElf();
    if (!host || elf->ident[EI_CLASS] != host->ident[EI_CLASS] ||
        elf->ident[EI_DATA] != host->ident[EI_DATA] || elf->machine != host->machine)
        return refuse(Status::executableWrongMachine, "The executable " + quoted +
                                                          " is built for another machine type (" +
                                                          std::to_string(elf->machine) + ").");
    struct statvfs mount {};
    if (::fstatvfs(file.get(), &mount) != 0)
        return refuse(Status::executableUnusable, "The executable " + quoted + " cannot be opened: " +
                                                      platform::SystemError::fromErrno("fstatvfs").reason() +
                                                      ".");
    if ((mount.f_flag & ST_NOEXEC) != 0)
        return refuse(Status::executableOnNoexecMount,
                      "The executable " + quoted + " lies on a file system mounted noexec.");
    return {};
}

}  // namespace velmora::codesign
