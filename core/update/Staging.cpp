// What the updater finds on disk: what interrupted runs left in the install directory, and the bundle
// in an expanded archive.

#include <system_error>

#include "core/HelperLog.h"
#include "core/update/HelperUpdater.h"
#include "core/update/HelperUpdaterIO.h"
#include "kit/VelmoraHelperIdentity.h"

namespace velmora::core {

namespace fs = std::filesystem;
namespace Identity = kit::VelmoraHelperIdentity;

std::vector<fs::path> HelperUpdater::removeLeftovers(const fs::path& installDirectoryURL) {
    std::vector<fs::path> handled;
    fs::path stagingRoot = installDirectoryURL / Identity::updateStagingDirectoryName;
    auto remove = [&](fs::path item) {
        if (auto removed = HelperUpdaterIO::removeTree(item); !removed)
            HelperLog::installer.error("Could not remove the leftover update item: " + removed.error());
        else
            handled.push_back(std::move(item));
    };
    if (HelperUpdaterIO::itemExists(stagingRoot)) remove(stagingRoot);
    std::vector<fs::path> staged;
    std::error_code error;
    for (fs::directory_iterator it(installDirectoryURL, error), end; !error && it != end;
         it.increment(error)) {
        if (it->path().filename().string().starts_with(Identity::stagedBundlePrefix))
            staged.push_back(it->path());
    }
    // Removed after the listing, so the directory does not change under the iterator.
    for (auto& item : staged) remove(std::move(item));
    return handled;
}

std::optional<fs::path> HelperUpdater::locateBundle(const fs::path& directory) {
    // A link could install itself, or pull a bundle in from anywhere: only a real directory reached
    // through no link counts.
    auto isRealDirectory = [](const fs::path& path) {
        std::error_code error;
        return fs::symlink_status(path, error).type() == fs::file_type::directory;
    };
    fs::path top = directory / Identity::bundleFileName;
    if (isRealDirectory(top)) return top;
    std::error_code error;
    for (fs::directory_iterator it(directory, error), end; !error && it != end; it.increment(error)) {
        const fs::path& entry = it->path();
        std::string name = entry.filename().string();
        if (name.starts_with('.') || name == Identity::bundleFileName || !isRealDirectory(entry)) continue;
        if (fs::path nested = entry / Identity::bundleFileName; isRealDirectory(nested)) return nested;
    }
    return std::nullopt;
}

}  // namespace velmora::core
