#include "tests/core/UpdaterTestSupport.h"

#include <archive.h>
#include <archive_entry.h>
#include <sys/stat.h>

#include <fstream>
#include <memory>
#include <stdexcept>

#include "core/update/HelperUpdater.h"
#include "kit/VelmoraHelperIdentity.h"

namespace velmora::core::testing {

namespace fs = std::filesystem;

void writeFile(const fs::path& file, const std::string& contents, unsigned mode) {
    fs::create_directories(file.parent_path());
    {
        std::ofstream out(file, std::ios::binary | std::ios::trunc);
        out << contents;
        if (!out) throw std::runtime_error("cannot write " + file.string());
    }
    ::chmod(file.c_str(), mode);
}

fs::path makeBundle(const fs::path& parent, const std::string& version, const std::string& marker,
                    int exitStatus) {
    fs::path bundle = parent / kit::VelmoraHelperIdentity::bundleFileName;
    fs::path executable = kit::VelmoraHelperIdentity::executableURL(bundle);
    writeFile(executable,
              "#!/bin/sh\nprintf 'Velmora Helper " + version + " (60), protocol 2\\n'\n" +
                  (exitStatus < 0 ? "kill -" + std::to_string(-exitStatus) + " $$\n"
                                  : "exit " + std::to_string(exitStatus) + "\n"),
              0755);
    writeFile(bundle / "Contents/Resources/marker", marker);
    auto digest = HelperUpdater::sha256(executable);
    writeFile(bundle / "Contents/_CodeSignature/CodeResources", digest.value_or(""));
    return bundle;
}

tl::expected<void, std::string> checkRecordedDigest(const fs::path& bundle) {
    auto digest = HelperUpdater::sha256(kit::VelmoraHelperIdentity::executableURL(bundle));
    std::string recorded = readFile(bundle / "Contents/_CodeSignature/CodeResources");
    if (!digest || *digest != recorded) return tl::unexpected(std::string("The code has been modified."));
    return {};
}

namespace {

using ArchivePtr = std::unique_ptr<archive, int (*)(archive*)>;
using EntryPtr = std::unique_ptr<archive_entry, void (*)(archive_entry*)>;

std::runtime_error archiveError(archive* a, const std::string& what) {
    const char* text = archive_error_string(a);
    return std::runtime_error(what + ": " + (text ? text : "unknown libarchive error"));
}

}  // namespace

void makeZip(const fs::path& root, const fs::path& zipFile, const std::vector<ZipEntry>& extra) {
    ArchivePtr writer(archive_write_new(), archive_write_free);
    if (archive_write_set_format_zip(writer.get()) != ARCHIVE_OK ||
        archive_write_open_filename(writer.get(), zipFile.c_str()) != ARCHIVE_OK)
        throw archiveError(writer.get(), "open " + zipFile.string());
    for (const auto& item : fs::recursive_directory_iterator(root)) {
        struct stat status {};
        if (::lstat(item.path().c_str(), &status) != 0)
            throw std::runtime_error("lstat " + item.path().string());
        EntryPtr entry(archive_entry_new(), archive_entry_free);
        archive_entry_set_pathname(entry.get(), fs::relative(item.path(), root).c_str());
        archive_entry_set_mode(entry.get(), status.st_mode);
        archive_entry_set_size(entry.get(), S_ISREG(status.st_mode) ? status.st_size : 0);
        archive_entry_set_mtime(entry.get(), status.st_mtime, 0);
        if (archive_write_header(writer.get(), entry.get()) != ARCHIVE_OK)
            throw archiveError(writer.get(), "header " + item.path().string());
        if (S_ISREG(status.st_mode)) {
            std::string data = readFile(item.path());
            if (archive_write_data(writer.get(), data.data(), data.size()) !=
                static_cast<la_ssize_t>(data.size()))
                throw archiveError(writer.get(), "data " + item.path().string());
        }
    }
    for (const auto& [name, mode, data] : extra) {
        EntryPtr entry(archive_entry_new(), archive_entry_free);
        archive_entry_set_pathname(entry.get(), name.c_str());
        archive_entry_set_mode(entry.get(), mode);
        if (S_ISLNK(mode)) archive_entry_set_symlink(entry.get(), data.c_str());
        archive_entry_set_size(entry.get(), S_ISREG(mode) ? static_cast<la_int64_t>(data.size()) : 0);
        if (archive_write_header(writer.get(), entry.get()) != ARCHIVE_OK ||
            archive_write_data(writer.get(), data.data(), S_ISREG(mode) ? data.size() : 0) < 0)
            throw archiveError(writer.get(), "entry " + name);
    }
    if (archive_write_close(writer.get()) != ARCHIVE_OK) throw archiveError(writer.get(), "close");
}

}  // namespace velmora::core::testing
