#pragma once

#include <array>
#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "kit/HelperVersion.h"

// The product's fixed facts: names, identifiers, service names, protocol numbers, code-signing
// requirements, download rules and the layout of the helper's files. Safe to read from any thread.
namespace velmora::kit::VelmoraHelperIdentity {

inline constexpr std::string_view productName = "Velmora Helper";
inline constexpr std::string_view bundleIdentifier = "com.norwick.VelmoraHelper";
inline constexpr std::string_view launchdLabel = "com.norwick.VelmoraHelper";
inline constexpr std::string_view launchAgentPlistName = "com.norwick.VelmoraHelper.plist";
inline constexpr std::string_view teamIdentifier = "K4P9TQ2XLN";
inline constexpr std::array<std::string_view, 2> hostApplicationBundleIdentifiers = {
    "com.norwick.Velmora", "com.norwick.Velmora.dev"};
inline constexpr std::array<std::string_view, 2> applicationGroupIdentifiers = {
    "group.com.norwick.Velmora", "group.com.norwick.Velmora.dev"};
inline constexpr std::int64_t protocolVersion = 2;
inline constexpr std::int64_t selfUpdateProtocolVersion = 2;
inline constexpr std::string_view developerIDCertificateAuthorityMarker =
    "certificate 1[field.1.2.840.113635.100.6.2.6] exists";
inline constexpr HelperVersion minimumHelperVersion{1, 1, 1};
inline constexpr HelperVersion minimumUninstallHelperVersion{1, 1, 1};

// The product's web host; the manifest, documentation and download rule all use this one value.
inline constexpr std::string_view downloadHost = "velmora.norwick.com";
inline constexpr std::string_view downloadScheme = "https";
inline constexpr std::string_view downloadPathPrefix = "/downloads/helper/";

// Absolute URLs, built from the host above.
const std::string& manifestURL();
const std::string& documentationURL();

inline constexpr std::string_view installDirectoryName = "Velmora Helper";
inline constexpr std::string_view bundleFileName = "Velmora Helper.app";
inline constexpr std::string_view updateStagingDirectoryName = "Updates";
inline constexpr std::string_view stagedBundlePrefix = ".installing-";

inline constexpr std::string_view helperCodeSigningRequirement =
    "anchor apple generic and identifier \"com.norwick.VelmoraHelper\" and certificate leaf[subject.OU] = "
    "\"K4P9TQ2XLN\" and certificate 1[field.1.2.840.113635.100.6.2.6] exists";

// The given application group identifier followed by ".helper".
std::string machServiceName(std::string_view applicationGroupIdentifier);
// One service name per application group identifier, in the same order.
std::vector<std::string> machServiceNames();

// Assembled on each read from the host identifiers and the team identifier.
std::string clientCodeSigningRequirement();

// home/Library/Application Support/Velmora Helper. The returned paths carry no trailing separator;
// nothing is created on disk.
std::filesystem::path installDirectoryURL(const std::filesystem::path& homeDirectory);
// install directory/Velmora Helper.app
std::filesystem::path installedBundleURL(const std::filesystem::path& homeDirectory);
// install directory/Updates
std::filesystem::path updateStagingDirectoryURL(const std::filesystem::path& homeDirectory);

// The executable inside any helper bundle: bundle/Contents/MacOS/Velmora Helper.
std::filesystem::path executableURL(const std::filesystem::path& bundle);

// True only for https://<downloadHost>/downloads/helper/<something> with no credentials, no
// explicit port and no ".." anywhere in the standardised path.
bool isTrustedDownloadURL(std::string_view url);

// File-system path standardisation: repeated separators and "." collapse, ".." removes the
// component before it, a trailing separator is dropped.
std::string standardizePath(std::string_view path);

}  // namespace velmora::kit::VelmoraHelperIdentity
