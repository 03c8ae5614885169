// What comes back from the manager's store is used only when it is a sealed memfd written by this build,
// and then only through the cache's own lookup of the real bundle.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <functional>

#include "codesign/StaticCode.h"
#include "codesign/VerificationStore.h"
#include "platform/FdStore.h"

namespace velmora::codesign {
namespace {

using platform::FdStore;
using platform::UniqueFd;

UniqueFd memfdWith(const std::string& bytes, int seals) {
    UniqueFd fd(::memfd_create("store-test", MFD_CLOEXEC | MFD_ALLOW_SEALING));
    EXPECT_EQ(::write(fd.get(), bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    EXPECT_EQ(::fcntl(fd.get(), F_ADD_SEALS, seals), 0);
    return fd;
}

TEST(VerificationStore, OnlyASealedStoreOfThisBuildIsRestored) {
    auto bundle = openBundle(VELMORA_SHELL_BUNDLE);
    ASSERT_TRUE(bundle);
    VerificationCache first;
    ASSERT_TRUE(validateBundle(*bundle, &first));
    const auto identity = VerificationStore::buildIdentity("1.4.0 (57)");
    const auto written = VerificationStore::encode(first.entries(), identity);
    const int allSeals = F_SEAL_SEAL | F_SEAL_SHRINK | F_SEAL_GROW | F_SEAL_WRITE;

    struct Case {
        std::string name;
        std::function<UniqueFd()> store;
        bool restored;
    };
    const Case cases[] = {
        {"as written", [&] { return std::move(*FdStore::sealed(written)); }, true},
        {"another build",
         [&] {
             return std::move(*FdStore::sealed(VerificationStore::encode(first.entries(), identity + "x")));
         },
         false},
        {"unsealed memfd", [&] { return memfdWith(written, 0); }, false},
        {"still writable", [&] { return memfdWith(written, allSeals & ~F_SEAL_WRITE); }, false},
        {"a byte short", [&] { return std::move(*FdStore::sealed(written.substr(0, written.size() - 1))); },
         false},
        {"a byte more", [&] { return std::move(*FdStore::sealed(written + "x")); }, false},
        {"a regular file",
         [&] {
             UniqueFd file(::open("/tmp", O_TMPFILE | O_RDWR | O_CLOEXEC, 0600));
             EXPECT_EQ(::write(file.get(), written.data(), written.size()),
                       static_cast<ssize_t>(written.size()));
             return file;
         },
         false},
    };
    for (const auto& test : cases) {
        SCOPED_TRACE(test.name);
        VerificationCache cache;
        bool fromStore = false;
        cache.setObserver({{}, [&](const std::filesystem::path&) { fromStore = true; }});
        auto bytes = FdStore::readSealed(test.store().get(), VerificationStore::kMaxBytes);
        auto entries = bytes ? VerificationStore::decode(*bytes, identity) : std::nullopt;
        EXPECT_EQ(entries.has_value(), test.restored);
        if (entries) cache.restore(std::move(*entries));
        auto validated = validateBundle(*bundle, &cache);
        ASSERT_TRUE(validated);
        EXPECT_EQ(fromStore, test.restored);
        EXPECT_EQ((*validated)->signing.identifier, "com.norwick.Velmora.dev");
    }
    // Cut anywhere, a store is refused whole rather than read past its end.
    for (size_t length = 0; length < written.size(); ++length)
        ASSERT_FALSE(VerificationStore::decode(written.substr(0, length), identity)) << length;
}

}  // namespace
}  // namespace velmora::codesign
