#include "core/HelperBundle.h"

#include <plist/plist.h>

#include <fstream>
#include <iterator>
#include <memory>
#include <optional>

#include "kit/VelmoraHelperIdentity.h"
#include "platform/Environment.h"

namespace velmora::core::HelperBundle {

namespace {

// Info.plist files are a few kilobytes; anything far larger is not one of ours.
constexpr std::streamsize kMaxInfoPlistSize = 1 << 20;

struct PlistDeleter {
    void operator()(plist_t node) const { plist_free(node); }
};
using PlistHandle = std::unique_ptr<void, PlistDeleter>;

// The string value of `key` in the bundle's Info.plist, or nothing when the file, the key or a string
// value is missing.
std::optional<std::string> infoString(const std::filesystem::path& bundle, const char* key) {
    std::ifstream file(bundle / "Contents" / "Info.plist", std::ios::binary);
    if (!file) return std::nullopt;
    // Read as it comes rather than into a buffer of the largest size: every start reads this file,
    // and zeroing a megabyte cost time and left the heap that much larger.
    std::string bytes;
    char chunk[4096];
    while (file.read(chunk, sizeof chunk) || file.gcount() > 0) {
        bytes.append(chunk, static_cast<size_t>(file.gcount()));
        if (bytes.size() > static_cast<size_t>(kMaxInfoPlistSize)) return std::nullopt;
    }
    if (bytes.empty()) return std::nullopt;

    plist_t raw = nullptr;
    plist_from_memory(bytes.data(), static_cast<uint32_t>(bytes.size()), &raw);
    PlistHandle root(raw);
    if (!root || plist_get_node_type(root.get()) != PLIST_DICT) return std::nullopt;
    plist_t item = plist_dict_get_item(root.get(), key);
    if (item == nullptr || plist_get_node_type(item) != PLIST_STRING) return std::nullopt;
    uint64_t length = 0;
    const char* value = plist_get_string_ptr(item, &length);
    if (value == nullptr) return std::nullopt;
    return std::string(value, static_cast<size_t>(length));
}

}  // namespace

std::filesystem::path bundleURLForExecutable(const std::filesystem::path& executable) {
    auto macos = executable.parent_path();
    auto contents = macos.parent_path();
    if (macos.filename() == "MacOS" && contents.filename() == "Contents" && !contents.parent_path().empty())
        return contents.parent_path();
    return macos;
}

kit::HelperVersion versionOfBundle(const std::filesystem::path& bundle) {
    if (auto text = infoString(bundle, "CFBundleShortVersionString"))
        if (auto parsed = kit::HelperVersion::parse(*text)) return *parsed;
    return {};
}

std::int64_t buildOfBundle(const std::filesystem::path& bundle) {
    if (auto text = infoString(bundle, "CFBundleVersion"))
        if (auto value = kit::parseSignedDecimal(*text)) return *value;
    return 0;
}

bool isApplicationBundle(const std::filesystem::path& bundle) {
    return bundle.extension() == ".app";
}

std::string versionDescription(const kit::HelperVersion& version, std::int64_t build) {
    return std::string(kit::VelmoraHelperIdentity::productName) + " " + version.description() + " (" +
           std::to_string(build) + "), protocol " +
           std::to_string(kit::VelmoraHelperIdentity::protocolVersion);
}

std::filesystem::path bundleURL() {
    // Where the process was started from, as the service manager and the installer know it. The kernel's
    // link to the executable follows the file: after an update swaps bundles it leads into the old copy,
    // moved aside and about to be removed.
    static const std::filesystem::path started = bundleURLForExecutable(platform::currentExecutablePath());
    return started;
}
kit::HelperVersion version() {
    return versionOfBundle(bundleURL());
}
std::int64_t build() {
    return buildOfBundle(bundleURL());
}
bool isRunningFromApplicationBundle() {
    return isApplicationBundle(bundleURL());
}

std::string versionDescription() {
    auto bundle = bundleURL();
    return versionDescription(versionOfBundle(bundle), buildOfBundle(bundle));
}

}  // namespace velmora::core::HelperBundle
