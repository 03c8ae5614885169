#include "kit/VelmoraHelperIdentity.h"

#include <gtest/gtest.h>

namespace identity = velmora::kit::VelmoraHelperIdentity;

namespace {

TEST(Identity, RequirementTextsAreExact) {
    EXPECT_EQ(identity::helperCodeSigningRequirement,
              "anchor apple generic and identifier \"com.norwick.VelmoraHelper\" and certificate "
              "leaf[subject.OU] = "
              "\"K4P9TQ2XLN\" and certificate 1[field.1.2.840.113635.100.6.2.6] exists");
    EXPECT_EQ(
        identity::clientCodeSigningRequirement(),
        "anchor apple generic and (identifier \"com.norwick.Velmora\" or identifier "
        "\"com.norwick.Velmora.dev\") and (certificate leaf[field.1.2.840.113635.100.6.1.9] or certificate "
        "leaf[field.1.2.840.113635.100.6.1.25.1] or (certificate leaf[subject.OU] = \"K4P9TQ2XLN\" and "
        "certificate 1[field.1.2.840.113635.100.6.2.6] exists) or certificate leaf[subject.OU] = "
        "\"K4P9TQ2XLN\")");
}

TEST(Identity, ServiceNamesFollowTheGroupIdentifiersInOrder) {
    EXPECT_EQ(identity::machServiceNames(),
              (std::vector<std::string>{"group.com.norwick.Velmora.helper",
                                        "group.com.norwick.Velmora.dev.helper"}));
    EXPECT_EQ(identity::machServiceName("x"), "x.helper");
}

TEST(Identity, PathsHangOffTheHomeDirectory) {
    EXPECT_EQ(identity::installDirectoryURL("/Users/a"),
              "/Users/a/Library/Application Support/Velmora Helper");
    EXPECT_EQ(identity::installedBundleURL("/Users/a"),
              "/Users/a/Library/Application Support/Velmora Helper/Velmora Helper.app");
    EXPECT_EQ(identity::updateStagingDirectoryURL("/Users/a"),
              "/Users/a/Library/Application Support/Velmora Helper/Updates");
    EXPECT_EQ(identity::executableURL("/b/Velmora Helper.app"),
              "/b/Velmora Helper.app/Contents/MacOS/Velmora Helper");
}

TEST(Identity, PublishedURLsUseTheDownloadHost) {
    EXPECT_EQ(identity::manifestURL(),
              "https://" + std::string(identity::downloadHost) + "/downloads/helper/manifest.json");
    EXPECT_TRUE(
        identity::documentationURL().starts_with("https://" + std::string(identity::downloadHost) + "/"));
    EXPECT_EQ(identity::downloadPathPrefix.size(), 18u);
    EXPECT_EQ(identity::teamIdentifier.size(), 10u);
}

TEST(Identity, StandardizesPathsLikeTheFileSystem) {
    EXPECT_EQ(identity::standardizePath("/a//b/./c/"), "/a/b/c");
    EXPECT_EQ(identity::standardizePath("/a/b/../c"), "/a/c");
    EXPECT_EQ(identity::standardizePath("/downloads/helper/"), "/downloads/helper");
    EXPECT_EQ(identity::standardizePath("/../a"), "/a");
}

class DownloadRule : public ::testing::Test {
  protected:
    static std::string url(const std::string& rest) {
        return "https://" + std::string(identity::downloadHost) + rest;
    }
};

TEST_F(DownloadRule, AcceptsFilesBelowThePrefixWhateverTheCaseOfSchemeAndHost) {
    EXPECT_TRUE(identity::isTrustedDownloadURL(url("/downloads/helper/Velmora-Helper-1.4.0.zip")));
    EXPECT_TRUE(identity::isTrustedDownloadURL(url("/downloads/helper/1.4.0/helper.zip")));
    std::string upper = "HTTPS://VELMORA.NORWICK.COM/downloads/helper/a.zip";
    EXPECT_TRUE(identity::isTrustedDownloadURL(upper));
    EXPECT_TRUE(identity::isTrustedDownloadURL(url("/downloads/helper/a.zip?x=..&y=1#..")));
    EXPECT_TRUE(identity::isTrustedDownloadURL(url("/downloads//helper/./a.zip")));
}

TEST_F(DownloadRule, RejectsEscapesAndLookalikes) {
    EXPECT_FALSE(identity::isTrustedDownloadURL(url("/downloads/helper/")));
    EXPECT_FALSE(identity::isTrustedDownloadURL(url("/downloads/helper")));
    EXPECT_FALSE(identity::isTrustedDownloadURL(url("/downloads/helper/../evil.zip")));
    EXPECT_FALSE(identity::isTrustedDownloadURL(url("/downloads/helper/a..zip")));
    EXPECT_FALSE(identity::isTrustedDownloadURL(url("/downloads/helper/x/../../helper2/a.zip")));
    EXPECT_FALSE(identity::isTrustedDownloadURL(url("/downloads/helperx/a.zip")));
    EXPECT_FALSE(identity::isTrustedDownloadURL(url("/other/downloads/helper/a.zip")));
}

TEST_F(DownloadRule, RejectsOtherSchemesHostsCredentialsAndPorts) {
    std::string host(identity::downloadHost);
    EXPECT_FALSE(identity::isTrustedDownloadURL("http://" + host + "/downloads/helper/a.zip"));
    EXPECT_FALSE(identity::isTrustedDownloadURL("ftp://" + host + "/downloads/helper/a.zip"));
    EXPECT_FALSE(identity::isTrustedDownloadURL("https://evil.example/downloads/helper/a.zip"));
    EXPECT_FALSE(identity::isTrustedDownloadURL("https://" + host + ".evil.example/downloads/helper/a.zip"));
    EXPECT_FALSE(identity::isTrustedDownloadURL("https://user@" + host + "/downloads/helper/a.zip"));
    EXPECT_FALSE(identity::isTrustedDownloadURL("https://user:pw@" + host + "/downloads/helper/a.zip"));
    EXPECT_FALSE(identity::isTrustedDownloadURL("https://:pw@" + host + "/downloads/helper/a.zip"));
    EXPECT_FALSE(identity::isTrustedDownloadURL("https://" + host + ":443/downloads/helper/a.zip"));
    EXPECT_FALSE(identity::isTrustedDownloadURL("https://" + host + ":8443/downloads/helper/a.zip"));
    EXPECT_FALSE(identity::isTrustedDownloadURL("/downloads/helper/a.zip"));
    EXPECT_FALSE(identity::isTrustedDownloadURL("//" + host + "/downloads/helper/a.zip"));
    EXPECT_FALSE(identity::isTrustedDownloadURL("https:/" + host + "/downloads/helper/a.zip"));
    EXPECT_FALSE(identity::isTrustedDownloadURL("https:///" + host + "/downloads/helper/a.zip"));
    EXPECT_FALSE(identity::isTrustedDownloadURL(""));
    EXPECT_FALSE(identity::isTrustedDownloadURL("not a url"));
}

}  // namespace
