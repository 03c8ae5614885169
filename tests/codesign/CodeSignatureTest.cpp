// Real bundles signed with real certificates, changed on disk in every way the seal must notice, and
// checked as the updater and the client check do.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>

#include "codesign/CodeSignature.h"
#include "codesign/ExecutionPolicy.h"
#include "codesign/StaticCode.h"
#include "codesign/VerificationCache.h"
#include "core/update/HelperUpdaterIO.h"
#include "kit/VelmoraHelperIdentity.h"
#include "tests/codesign/TestAuthority.h"
#include "tests/support/Subprocess.h"

namespace velmora::testing {
namespace {

namespace fs = std::filesystem;
namespace Identity = kit::VelmoraHelperIdentity;

const std::string kDevIdentifier = "com.norwick.Velmora.dev";
const std::string kUnsatisfied = "The signature does not satisfy the Velmora Helper requirement (-1301).";

enum class Signer { development, noTeam, noMarker, untrustedRoot, expired, notYetValid, tls, encipher, many };

class Signatures : public ::testing::Test {
  protected:
    // An executable, a resource, a folder and a link inside the bundle.
    fs::path makeBundle(const std::string& name = "Client.app") {
        return makeBundleIn(scratch_.path(), name);
    }

    static fs::path makeBundleIn(const fs::path& directory, const std::string& name) {
        fs::path bundle = directory / name;
        fs::create_directories(bundle / "Contents/MacOS");
        fs::copy_file("/bin/true", bundle / "Contents/MacOS/Velmora Helper");
        writeFile(bundle / "Contents/Resources/data", "sealed bytes\n");
        fs::create_symlink("../MacOS/Velmora Helper", bundle / "Contents/Resources/tool");
        return bundle;
    }

    void sign(const fs::path& bundle, Signer signer, const std::string& identifier) {
        auto [key, chain] = identity(signer);
        auto signed_ = codesign::signBundle(bundle, identifier, key, chain);
        ASSERT_TRUE(signed_) << signed_.error().description;
    }

    // The key and chain file of each signer; all but the last two chain to the development root.
    std::pair<fs::path, fs::path> identity(Signer signer) {
        const fs::path& dir = scratch_.path();
        Issued root = developmentRoot();
        Issued intermediate = developmentIntermediate();
        CertificateProfile leaf{"Test Leaf", std::string(Identity::teamIdentifier)};
        switch (signer) {
            case Signer::development:
                return {VELMORA_DEV_AUTHORITY_DIR "/leaf.key", VELMORA_DEV_AUTHORITY_DIR "/chain.pem"};
            case Signer::noTeam:
                leaf.organizationalUnit.clear();
                break;
            case Signer::noMarker:
                intermediate = issue(dir, "plain-ca", {"Plain CA", "", true, false}, &root);
                break;
            case Signer::untrustedRoot:
                root = issue(dir, "other-root", {"Other Root", "", true}, nullptr);
                intermediate = issue(dir, "other-ca", {"Other CA", "", true, true}, &root);
                break;
            case Signer::expired:
                leaf = {"Expired Leaf", leaf.organizationalUnit, false, false, -30, -1};
                break;
            case Signer::notYetValid:
                leaf = {"Future Leaf", leaf.organizationalUnit, false, false, 2, 30};
                break;
            case Signer::tls:
                leaf.extendedKeyUsage = "serverAuth";
                break;
            case Signer::encipher:
                leaf.keyUsage = "critical,keyEncipherment";
                break;
            case Signer::many:
                break;
        }
        Issued issued = issue(dir, "leaf", leaf, &intermediate);
        fs::path chain = dir / "chain.pem";
        std::string pem = readFile(issued.certificate) + readFile(intermediate.certificate);
        for (int i = 0; signer == Signer::many && i < 15; ++i)
            pem += readFile(issue(dir, "extra", {std::to_string(i)}, nullptr).certificate);
        writeFile(chain, pem);
        return {issued.key, chain};
    }

    TemporaryDirectory scratch_;
};

struct Case {
    const char* name;
    std::function<void(const fs::path& bundle)> afterSigning;
    std::string expected;  // empty: accepted
    Signer signer = Signer::development;
    std::string identifier = kDevIdentifier;
    std::string requirement = Identity::clientCodeSigningRequirement();
};

void writeAt(const fs::path& file, std::string bytes) {
    std::fstream stream(file, std::ios::in | std::ios::out | std::ios::binary);
    stream.seekp(0);
    stream.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

TEST_F(Signatures, EachChangeAndEachWrongSignerIsRejectedWithItsText) {
    auto none = [](const fs::path&) {};
    const Case cases[] = {
        {"intact", none, ""},
        {"changed byte", [](const fs::path& b) { writeAt(b / "Contents/Resources/data", "S"); },
         "\"Contents/Resources/data\" was modified after signing."},
        {"extra file", [](const fs::path& b) { writeFile(b / "Contents/Resources/extra", ""); },
         "\"Contents/Resources/extra\" was added after signing."},
        {"missing file", [](const fs::path& b) { fs::remove(b / "Contents/Resources/data"); },
         "\"Contents/Resources/data\" is missing from the bundle."},
        {"changed mode",
         [](const fs::path& b) { fs::permissions(b / "Contents/Resources/data", fs::perms::owner_read); },
         "The permissions of \"Contents/Resources/data\" changed after signing."},
        {"relinked",
         [](const fs::path& b) {
             fs::remove(b / "Contents/Resources/tool");
             fs::create_symlink("data", b / "Contents/Resources/tool");
         },
         "The link \"Contents/Resources/tool\" points elsewhere than when signed."},
        {"link leaving the bundle",
         [](const fs::path& b) { fs::create_symlink("../../../outside", b / "Contents/Resources/out"); },
         "The link \"Contents/Resources/out\" leads outside the bundle."},
        {"link leaving through another link",
         [](const fs::path& b) {
             fs::create_symlink(".", b / "Contents/here");
             fs::create_symlink("here/../..", b / "Contents/sneak");
         },
         "The link \"Contents/sneak\" leads outside the bundle."},
        {"padded signature",
         [](const fs::path& b) { fs::resize_file(b / "Contents/_CodeSignature/CodeSignature", 300 << 10); },
         "The code signature is damaged or truncated."},
        {"seventeen certificates", none, "The code signature is damaged or truncated.", Signer::many},
        {"leaf for TLS servers", none, "The signing certificate \"Test Leaf\" is not meant for signing code.",
         Signer::tls},
        {"leaf for key encipherment", none,
         "The signing certificate \"Test Leaf\" is not meant for signing code.", Signer::encipher},
        {"truncated signature",
         [](const fs::path& b) { fs::resize_file(b / "Contents/_CodeSignature/CodeSignature", 200); },
         "The code signature is damaged or truncated."},
        {"edited resource list",
         [](const fs::path& b) { writeAt(b / "Contents/_CodeSignature/CodeResources", "X"); },
         "The code signature does not match the sealed resource list."},
        {"unsigned", [](const fs::path& b) { fs::remove_all(b / "Contents/_CodeSignature"); },
         "The bundle is not signed."},
        {"wrong identifier", none, kUnsatisfied, Signer::development, "com.example.Other"},
        {"leaf without the team unit", none, kUnsatisfied, Signer::noTeam},
        {"intermediate without the marker", none, kUnsatisfied, Signer::noMarker, "com.norwick.VelmoraHelper",
         std::string(Identity::helperCodeSigningRequirement)},
        {"untrusted root", none,
         "The signing certificate \"Test Leaf\" does not lead to a trusted authority (unable to get local "
         "issuer certificate).",
         Signer::untrustedRoot},
        {"expired", none, "The signing certificate \"Expired Leaf\" has expired.", Signer::expired},
        {"not yet valid", none, "The signing certificate \"Future Leaf\" is not yet valid.",
         Signer::notYetValid},
        {"unparsable requirement", none, "The signing requirement could not be built (-1101).",
         Signer::development, kDevIdentifier, "identifier \"x\" and ("},
        {"not a bundle", [](const fs::path& b) { fs::remove_all(b / "Contents"); },
         "The bundle could not be read for verification (-1001)."},
    };
    for (const auto& test : cases) {
        SCOPED_TRACE(test.name);
        fs::path bundle = makeBundle(std::string(test.name) + ".app");
        sign(bundle, test.signer, test.identifier);
        test.afterSigning(bundle);
        auto checked = codesign::checkValidity(bundle, test.requirement);
        EXPECT_EQ(checked ? "" : checked.error(), test.expected);
    }
}

TEST_F(Signatures, RequirementClausesReadTheVerifiedChain) {
    fs::path bundle = makeBundle();
    sign(bundle, Signer::development, kDevIdentifier);
    const std::pair<const char*, bool> cases[] = {
        {"certificate root[subject.CN] = \"Velmora Development Root CA\"", true},
        {"certificate 2[subject.CN] = \"Velmora Development Root CA\" and certificate 3[subject.CN] exists",
         false},
        {"certificate 1[field.1.2.840.113635.100.6.2.6]", true},
        {"certificate leaf[field.1.2.840.113635.100.6.2.6] exists", false},
        {"identifier \"a\" or identifier \"com.norwick.Velmora.dev\" and anchor apple generic", true},
        {"(identifier \"a\" or identifier \"b\") and anchor apple generic", false},
    };
    for (const auto& [text, satisfied] : cases) {
        auto checked = codesign::checkValidity(bundle, text);
        EXPECT_EQ(checked.has_value(), satisfied) << text;
    }
    for (const char* broken : {"anchor apple", "certificate leaf[field.x.y]", "identifier com",
                               "certificate 1[subject.OU] = ", "identifier \"a\" identifier \"b\"", ""})
        EXPECT_EQ(codesign::checkValidity(bundle, broken).error(),
                  "The signing requirement could not be built (-1101).")
            << broken;
}

TEST_F(Signatures, BuiltHelperPassesTheUpdatersChecksAlsoThroughALink) {
    fs::path link = scratch_.path() / "Linked.app";
    fs::create_directory_symlink(VELMORA_BUNDLE_DIR, link);
    for (const fs::path& bundle : {fs::path(VELMORA_BUNDLE_DIR), link}) {
        auto verified = core::HelperUpdaterIO::verifySignature(bundle);
        EXPECT_TRUE(verified) << verified.error().summary();
    }
}

// Installed helpers and earlier signing tools read and write exactly this form; any other is refused
// as a forged update by the one and refuses the other's bundles.
TEST_F(Signatures, SealKeepsTheDeployedTextForm) {
    mode_t umask = ::umask(022);
    fs::path bundle = makeBundle();
    fs::permissions(bundle / "Contents/Resources/data", fs::perms(0640));
    sign(bundle, Signer::development, kDevIdentifier);
    std::string executable = codesign::sha256Hex(readFile(bundle / "Contents/MacOS/Velmora Helper"));
    std::string expected =
        "VelmoraCodeResources 1\nidentifier com.norwick.Velmora.dev\n"
        "dir 0755 - Contents\ndir 0755 - Contents/MacOS\n"
        "file 0755 " +
        executable +
        " Contents/MacOS/Velmora%20Helper\n"
        "dir 0755 - Contents/Resources\n"
        "file 0640 " +
        codesign::sha256Hex("sealed bytes\n") +
        " Contents/Resources/data\n"
        "link 0777 ../MacOS/Velmora%20Helper Contents/Resources/tool\n";
    ::umask(umask);
    EXPECT_EQ(readFile(bundle / "Contents/_CodeSignature/CodeResources"), expected);
    EXPECT_TRUE(codesign::checkValidity(bundle, Identity::clientCodeSigningRequirement()));
}

TEST_F(Signatures, CacheRemembersOnlyAnUnchangedBundle) {
    fs::path bundle = makeBundle();
    sign(bundle, Signer::development, kDevIdentifier);
    codesign::VerificationCache cache;
    auto validate = [&] { return codesign::validateBundle(*codesign::openBundle(bundle), &cache); };
    auto first = validate();
    ASSERT_TRUE(first);
    auto again = validate();
    ASSERT_TRUE(again);
    EXPECT_EQ(again->get(), first->get());
    // Same size, modification time put back: only the change time tells.
    fs::path data = bundle / "Contents/Resources/data";
    struct stat before {};
    ASSERT_EQ(::stat(data.c_str(), &before), 0);
    writeAt(data, "S");
    timespec times[2] = {before.st_atim, before.st_mtim};
    ASSERT_EQ(::utimensat(AT_FDCWD, data.c_str(), times, 0), 0);
    auto changed = validate();
    ASSERT_FALSE(changed);
    EXPECT_EQ(changed.error().status, codesign::Status::fileModified);
}

TEST_F(Signatures, CraftedBundlesAreRefusedWithoutReadingWhatTheyAdd) {
    const Case cases[] = {
        {"added sparse file",
         [](const fs::path& b) {
             std::ofstream(b / "Contents/huge"), fs::resize_file(b / "Contents/huge", 1LL << 30);
         },
         "\"Contents/huge\" was added after signing."},
        {"chain of links longer than the kernel follows",
         [](const fs::path& b) {
             for (int i = 0; i < 3000; ++i)
                 fs::create_symlink("a/../l" + std::to_string(i + 1),
                                    b / "Contents" / ("l" + std::to_string(i)));
             fs::create_symlink(".", b / "Contents/l3000");
             fs::create_directory(b / "Contents/a");
         },
         "The link \"Contents/l0\" leads outside the bundle."},
    };
    for (const auto& test : cases) {
        SCOPED_TRACE(test.name);
        fs::path bundle = makeBundle(std::string(test.name) + ".app");
        writeFile(bundle / "Contents/Resources/large", std::string(4 << 20, 'x'));
        sign(bundle, Signer::development, kDevIdentifier);
        test.afterSigning(bundle);
        std::uint64_t before = bytesReadBy(::getpid());
        auto checked = codesign::validateBundle(*codesign::openBundle(bundle));
        EXPECT_EQ(checked ? "" : checked.error().description, test.expected);
        EXPECT_LT(bytesReadBy(::getpid()) - before, 1u << 20);
    }
    auto checked =
        codesign::validateBundle(*codesign::openBundle(makeBundle()), nullptr, [] { return true; });
    EXPECT_EQ(checked.error().status, codesign::Status::checkCancelled);
}

// ext2 with 128-byte inodes keeps times in whole seconds: a rewrite within the second of the last
// change leaves every identity as it was.
TEST_F(Signatures, CacheServesNoRewriteWithinATimestampTickNorAnyBundleOnAUserImage) {
    for (uid_t imageOwner : {0u, 65534u}) {
        SCOPED_TRACE(imageOwner);
        pid_t child = ::fork();
        if (child == 0) {
            std::string image = scratch_.path() / "ext2.img", mount = scratch_.path() / "coarse";
            std::string commands = "mkdir -p " + mount + " && truncate -s 16M " + image +
                                   " && mkfs.ext2 -q -F -I 128 " + image + " && chown " +
                                   std::to_string(imageOwner) + " " + image + " && mount -o loop " + image +
                                   " " + mount;
            if (::unshare(CLONE_NEWNS) != 0 ||
                ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
                ::system(commands.c_str()) != 0)
                ::_exit(2);
            fs::path bundle = fs::path(mount) / "Client.app";
            fs::copy(makeBundle(std::to_string(imageOwner)), bundle,
                     fs::copy_options::recursive | fs::copy_options::copy_symlinks);
            fs::path executable = bundle / "Contents/MacOS/Velmora Helper";
            std::string original = readFile(executable);
            codesign::VerificationCache cache;
            auto validate = [&] { return codesign::validateBundle(*codesign::openBundle(bundle), &cache); };
            for (int attempt = 0; attempt < 20; ++attempt) {
                writeAt(executable, original);
                sign(bundle, Signer::development, kDevIdentifier);
                auto first = validate(), again = validate();
                if (!first || !again) ::_exit(4);
                // Remembered on root's image, never on a user's.
                if ((first->get() == again->get()) != (imageOwner == 0)) ::_exit(5);
                struct stat before {};
                ::stat(executable.c_str(), &before);
                writeAt(executable, "X");
                struct stat after {};
                ::stat(executable.c_str(), &after);
                if (before.st_ctim.tv_sec != after.st_ctim.tv_sec) continue;  // the second turned: try again
                auto rewritten = validate();
                ::_exit(!rewritten && rewritten.error().status == codesign::Status::fileModified ? 0 : 6);
            }
            ::_exit(7);
        }
        int status = 0;
        ASSERT_EQ(::waitpid(child, &status, 0), child);
        EXPECT_EQ(WIFEXITED(status) ? WEXITSTATUS(status) : -1, 0);
    }
}

TEST_F(Signatures, ExecutionPolicyAdmitsOnlyRunnableElfOfThisMachine) {
    fs::path dir = scratch_.path();
    fs::copy_file("/bin/true", dir / "elf");
    fs::copy_file("/bin/true", dir / "plain");
    fs::permissions(dir / "plain", fs::perms::owner_read | fs::perms::owner_write);
    writeFile(dir / "script", "#!/bin/sh\n");
    fs::permissions(dir / "script", fs::perms::owner_all);
    fs::copy_file("/bin/true", dir / "foreign");
    writeAt(dir / "foreign", readFile("/bin/true").substr(0, 18) + std::string("\xb7\x00", 2));  // EM_AARCH64
    const std::pair<const char*, std::string> cases[] = {
        {"elf", ""},
        {"plain", "is not marked executable."},
        {"script", "is not an ELF program."},
        {"foreign", "is built for another machine type (183)."},
        {"missing", "cannot be opened: No such file or directory."},
        {"", "is not a regular file."},
    };
    for (const auto& [name, expected] : cases) {
        auto admitted = codesign::assessExecutionPolicy(dir / name);
        std::string text = admitted ? "" : admitted.error().description;
        EXPECT_EQ(text,
                  expected.empty() ? "" : "The executable \"" + (dir / name).string() + "\" " + expected);
    }
    // On a file system mounted noexec, in a mount namespace of a child's own.
    pid_t child = ::fork();
    if (child == 0) {
        fs::path mount = dir / "noexec";
        bool mounted = ::unshare(CLONE_NEWNS) == 0 &&
                       ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0 &&
                       ::mkdir(mount.c_str(), 0700) == 0 &&
                       ::mount("tmpfs", mount.c_str(), "tmpfs", MS_NOEXEC, nullptr) == 0;
        if (!mounted) ::_exit(2);
        fs::copy_file("/bin/true", mount / "elf");
        auto admitted = codesign::assessExecutionPolicy(mount / "elf");
        ::_exit(!admitted && admitted.error().status == codesign::Status::executableOnNoexecMount ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    EXPECT_EQ(WEXITSTATUS(status), 0);
}

}  // namespace
}  // namespace velmora::testing
