#include "core/HelperBundle.h"

#include <gtest/gtest.h>

#include "tests/support/Subprocess.h"

namespace bundle = velmora::core::HelperBundle;
using velmora::kit::HelperVersion;
using velmora::testing::TemporaryDirectory;
using velmora::testing::writeFile;

namespace {

std::string infoPlist(const std::string& entries) {
    return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
           "<!DOCTYPE plist PUBLIC \"-//Apple//DTD PLIST 1.0//EN\" "
           "\"http://www.apple.com/DTDs/PropertyList-1.0.dtd\">\n"
           "<plist version=\"1.0\"><dict>" +
           entries + "</dict></plist>\n";
}

std::string stringEntry(const std::string& key, const std::string& value) {
    return "<key>" + key + "</key><string>" + value + "</string>";
}

class BundleFacts : public ::testing::Test {
  protected:
    std::filesystem::path makeBundle(const std::string& name, const std::string& plist) {
        auto path = dir.path() / name;
        writeFile(path / "Contents" / "Info.plist", plist);
        return path;
    }
    TemporaryDirectory dir;
};

TEST_F(BundleFacts, ReadsVersionAndBuildFromInfoPlist) {
    auto b = makeBundle("A.app", infoPlist(stringEntry("CFBundleShortVersionString", "1.4.0") +
                                           stringEntry("CFBundleVersion", "57")));
    EXPECT_EQ(bundle::versionOfBundle(b), (HelperVersion{1, 4, 0}));
    EXPECT_EQ(bundle::buildOfBundle(b), 57);
    EXPECT_EQ(bundle::versionDescription(bundle::versionOfBundle(b), bundle::buildOfBundle(b)),
              "Velmora Helper 1.4.0 (57), protocol 2");
}

TEST_F(BundleFacts, FallsBackToZeroForMissingOrMalformedValues) {
    auto missing = makeBundle("Missing.app", infoPlist(""));
    EXPECT_EQ(bundle::versionOfBundle(missing), (HelperVersion{0, 0, 0}));
    EXPECT_EQ(bundle::buildOfBundle(missing), 0);

    auto nonString =
        makeBundle("Typed.app", infoPlist("<key>CFBundleShortVersionString</key><integer>2</integer>"
                                          "<key>CFBundleVersion</key><integer>57</integer>"));
    EXPECT_EQ(bundle::versionOfBundle(nonString), (HelperVersion{0, 0, 0}));
    EXPECT_EQ(bundle::buildOfBundle(nonString), 0);

    for (const char* bad : {"1.2", " 57", "57 ", "", "5a", "99999999999999999999", "0x10"}) {
        auto b = makeBundle("Bad.app", infoPlist(stringEntry("CFBundleShortVersionString", "v1") +
                                                 stringEntry("CFBundleVersion", bad)));
        EXPECT_EQ(bundle::buildOfBundle(b), 0) << "build \"" << bad << "\"";
        EXPECT_EQ(bundle::versionOfBundle(b), (HelperVersion{0, 0, 0}));
    }
    auto signedBuild = makeBundle("Signed.app", infoPlist(stringEntry("CFBundleVersion", "-3")));
    EXPECT_EQ(bundle::buildOfBundle(signedBuild), -3);

    auto garbage = dir.path() / "Garbage.app";
    writeFile(garbage / "Contents" / "Info.plist", "this is no property list");
    EXPECT_EQ(bundle::buildOfBundle(garbage), 0);
    EXPECT_EQ(bundle::versionOfBundle(dir.path() / "Absent.app"), (HelperVersion{0, 0, 0}));
}

TEST_F(BundleFacts, FindsTheBundleThreeLevelsAboveTheExecutable) {
    EXPECT_EQ(bundle::bundleURLForExecutable("/x/Velmora Helper.app/Contents/MacOS/Velmora Helper"),
              "/x/Velmora Helper.app");
    EXPECT_EQ(bundle::bundleURLForExecutable("/usr/local/bin/velmora"), "/usr/local/bin");
    EXPECT_EQ(bundle::bundleURLForExecutable("/x/Contents/Other/tool"), "/x/Contents/Other");
    EXPECT_TRUE(bundle::isApplicationBundle("/x/Velmora Helper.app"));
    EXPECT_FALSE(bundle::isApplicationBundle("/x/Velmora Helper.APP"));
    EXPECT_FALSE(bundle::isApplicationBundle("/x/plain"));
    EXPECT_FALSE(bundle::isApplicationBundle("/x/app"));
}

TEST_F(BundleFacts, RunningProcessAsksItsOwnExecutable) {
    // A test binary is no bundle: its directory counts as the bundle and carries no Info.plist.
    EXPECT_FALSE(bundle::isRunningFromApplicationBundle());
    EXPECT_EQ(bundle::version(), (HelperVersion{0, 0, 0}));
    EXPECT_EQ(bundle::versionDescription(), "Velmora Helper 0.0.0 (0), protocol 2");
}

}  // namespace
