// The live expand and version steps on real archives and executables, a real full disk (a small tmpfs
// in a private mount namespace), and the clean-up of leftovers as an ordinary user.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "core/ArchiveLibrary.h"
#include "core/HelperUpdaterIO.h"
#include "kit/VelmoraHelperIdentity.h"
#include "tests/core/UpdaterTestSupport.h"

namespace velmora::core {
namespace {

namespace fs = std::filesystem;
using testing::ZipEntry;

// Runs `body` in a child process and returns what it wrote to the pipe it is given.
std::string inChild(const std::function<std::string()>& body) {
    int fds[2];
    EXPECT_EQ(::pipe2(fds, O_CLOEXEC), 0);
    pid_t child = ::fork();
    if (child == 0) {
        std::string text = body();
        ::_exit(::write(fds[1], text.data(), text.size()) == static_cast<ssize_t>(text.size()) ? 0 : 1);
    }
    ::close(fds[1]);
    std::string text;
    char buffer[512];
    for (ssize_t n; (n = ::read(fds[0], buffer, sizeof buffer)) > 0;) text.append(buffer, n);
    ::close(fds[0]);
    int status = 0;
    ::waitpid(child, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    return text;
}

std::string expandError(const fs::path& archive, const fs::path& destination) {
    auto expanded = HelperUpdaterIO::expand(archive, destination);
    return expanded ? std::string() : expanded.error().text();
}

TEST(HelperUpdaterStepsTest, ExpandKeepsWhatIsHarmlessAndRefusesTheRest) {
    const unsigned file = S_IFREG | 0644, folder = S_IFDIR | 0755, link = S_IFLNK | 0777;
    struct Case {
        std::string name;
        std::vector<ZipEntry> entries;
        std::string error;  // empty: unpacked
        std::vector<std::pair<std::string, unsigned>> modes = {};
    };
    const std::vector<Case> cases{
        {"written by bsdtar -C dir",
         {{"./", folder}, {"./a/", folder}, {"./a/./x", file, "x"}},
         "",
         {{"a/x", 0644}}},
        {"legacy code page",
         {{"../J\x94rg", file, "x"}},
         "The archive entry \"../J\\x94rg\" leaves the destination."},
        {"absolute", {{"/etc/x", file}}, "The archive entry \"/etc/x\" leaves the destination."},
        {"only a dot file", {{".", file}}, "The archive entry \".\" leaves the destination."},
        {"link inside", {{"a", file, "x"}, {"d/b", link, "../a"}}, ""},
        {"link outside",
         {{"d/b", link, "../../x"}},
         "The archive entry \"d/b\" links outside the destination."},
        {"set-id bits", {{"run", S_IFREG | 06755, "x"}}, "", {{"run", 0755}}},
        {"read-only folder",
         {{"ro/", S_IFDIR | 0555}, {"ro/f", file, "x"}},
         "",
         {{"ro", 0755}, {"ro/f", 0644}}},
        {"bomb",
         {{"z", file, "", 32 << 20}},
         "The archive unpacks to more than 64 times its size; it is refused."},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        testing::TemporaryDirectory dir;
        fs::path archive = dir.path() / "a.zip", destination = dir.path() / "out";
        fs::create_directories(destination);
        testing::makeZip(c.entries, archive);
        EXPECT_EQ(expandError(archive, destination), c.error);
        for (const auto& [path, mode] : c.modes) {
            struct stat status {};
            ASSERT_EQ(::lstat((destination / path).c_str(), &status), 0) << path;
            EXPECT_EQ(status.st_mode & 07777, mode) << path;
        }
    }
}

TEST(HelperUpdaterStepsTest, AFullDiskEndsTheExpansionWithTheSystemsReason) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root for a private mount namespace";
    ASSERT_TRUE(ArchiveLibrary::get());  // loaded before the fork
    testing::TemporaryDirectory dir;
    std::string random(1 << 20, '\0');
    ASSERT_EQ(::getrandom(random.data(), random.size(), 0), static_cast<ssize_t>(random.size()));
    fs::path archive = dir.path() / "a.zip", disk = dir.path() / "disk";
    testing::makeZip({{"big", S_IFREG | 0644, random}}, archive);
    fs::create_directories(disk);
    auto error = inChild([&] {
        if (::unshare(CLONE_NEWNS) != 0 ||
            ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
            ::mount("tmpfs", disk.c_str(), "tmpfs", 0, "size=256k") != 0)
            return std::string("no private tmpfs");
        return expandError(archive, disk);
    });
    EXPECT_EQ(error, "The archive entry \"big\" could not be written: No space left on device");
}

TEST(HelperUpdaterStepsTest, ReportedVersionTellsHowTheNewHelperEnded) {
    struct Case {
        std::string script;
        tl::expected<std::string, std::string> reported;
    };
    const std::vector<Case> cases{
        {"printf 'Velmora Helper 1.2.3 (4), protocol 2\\n'", "Velmora Helper 1.2.3 (4), protocol 2\n"},
        {"exit 2", "exit 2"},
        {"kill -9 $$", "signal 9"},
        {"printf 'Velmora Helper \\224 1.2.3\\n'", ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.script);
        testing::TemporaryDirectory dir;
        fs::path bundle = dir.path() / kit::VelmoraHelperIdentity::bundleFileName;
        testing::writeFile(kit::VelmoraHelperIdentity::executableURL(bundle), "#!/bin/sh\n" + c.script + "\n",
                           0755);
        EXPECT_EQ(HelperUpdaterIO::reportedVersion(bundle), c.reported);
    }
    testing::TemporaryDirectory empty;
    EXPECT_FALSE(HelperUpdaterIO::reportedVersion(empty.path()));
}

TEST(HelperUpdaterStepsTest, LeftoversAreListedOnlyWhenReallyRemoved) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to act as nobody";
    const uid_t nobody = 65534;
    for (bool ownsInstallDirectory : {true, false}) {
        SCOPED_TRACE(ownsInstallDirectory ? "own install directory" : "install directory of another user");
        testing::TemporaryDirectory dir;
        ::chmod(dir.path().c_str(), 0755);
        fs::path install = dir.path() / "install", staging = install / "Updates";
        testing::writeFile(staging / "RUN/expanded/ro/f", "x");
        testing::writeFile(install / ".installing-RUN/f", "x");
        for (const auto& item : fs::recursive_directory_iterator(install))
            ASSERT_EQ(::lchown(item.path().c_str(), nobody, nobody), 0);
        ASSERT_EQ(::chown(install.c_str(), ownsInstallDirectory ? nobody : 0, 0), 0);
        ::chmod(install.c_str(), 0755);
        ::chmod((staging / "RUN/expanded/ro").c_str(), 0500);
        auto listed = inChild([&] {
            if (::setgid(nobody) != 0 || ::setuid(nobody) != 0) return std::string("cannot become nobody");
            std::string names;
            for (const auto& item : HelperUpdater::removeLeftovers(install))
                names += item.filename().string() + " ";
            return names;
        });
        EXPECT_EQ(listed, ownsInstallDirectory ? "Updates .installing-RUN " : "");
        EXPECT_EQ(fs::exists(staging), !ownsInstallDirectory);
        // Whatever could go is gone, even below a read-only folder.
        EXPECT_FALSE(fs::exists(staging / "RUN"));
    }
}

}  // namespace
}  // namespace velmora::core
