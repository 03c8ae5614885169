#include "tests/core/UpdaterTestSupport.h"

#include <archive.h>
#include <archive_entry.h>
#include <sys/stat.h>

#include <fstream>
#include <memory>
#include <stdexcept>

#include "core/HelperUpdater.h"
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
              "#!/bin/sh\nprintf 'Velmora Helper " + version + " (60), protocol 2\\n'\nexit " +
                  std::to_string(exitStatus) + "\n",
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

void makeZip(const fs::path& root, const fs::path& zipFile) {
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
    if (archive_write_close(writer.get()) != ARCHIVE_OK) throw archiveError(writer.get(), "close");
}

tl::expected<void, std::string> expandZip(const fs::path& zipFile, const fs::path& destination) {
    ArchivePtr reader(archive_read_new(), archive_read_free);
    archive_read_support_format_zip(reader.get());
    ArchivePtr writer(archive_write_disk_new(), archive_write_free);
    // Entries are written under `destination` by absolute path, so absolute entry names are refused
    // here rather than by libarchive.
    archive_write_disk_set_options(writer.get(), ARCHIVE_EXTRACT_PERM | ARCHIVE_EXTRACT_SECURE_NODOTDOT |
                                                     ARCHIVE_EXTRACT_SECURE_SYMLINKS);
    auto failure = [](archive* a) {
        const char* text = archive_error_string(a);
        return tl::unexpected(std::string(text ? text : "unknown libarchive error"));
    };
    if (archive_read_open_filename(reader.get(), zipFile.c_str(), 65536) != ARCHIVE_OK)
        return failure(reader.get());
    for (;;) {
        archive_entry* entry = nullptr;
        int status = archive_read_next_header(reader.get(), &entry);
        if (status == ARCHIVE_EOF) break;
        if (status != ARCHIVE_OK) return failure(reader.get());
        std::string name = archive_entry_pathname(entry);
        if (name.starts_with('/')) return tl::unexpected("Absolute path in archive: " + name);
        archive_entry_set_pathname(entry, (destination / name).c_str());
        if (archive_write_header(writer.get(), entry) != ARCHIVE_OK) return failure(writer.get());
        const void* block = nullptr;
        size_t size = 0;
        la_int64_t offset = 0;
        while ((status = archive_read_data_block(reader.get(), &block, &size, &offset)) == ARCHIVE_OK)
            if (archive_write_data_block(writer.get(), block, size, offset) != ARCHIVE_OK)
                return failure(writer.get());
        if (status != ARCHIVE_EOF) return failure(reader.get());
        if (archive_write_finish_entry(writer.get()) != ARCHIVE_OK) return failure(writer.get());
    }
    if (archive_write_close(writer.get()) != ARCHIVE_OK) return failure(writer.get());
    return {};
}

tl::expected<std::string, std::string> runVersion(const fs::path& bundle) {
    velmora::testing::ProcessResult result;
    try {
        result =
            velmora::testing::runProcess(kit::VelmoraHelperIdentity::executableURL(bundle), {"--version"});
    } catch (const std::exception& e) {
        return tl::unexpected(std::string(e.what()));
    }
    if (result.exitStatus == 0) return result.standardOutput;
    return "exit " + std::to_string(result.exitStatus < 0 ? 128 + result.termSignal : result.exitStatus);
}

}  // namespace velmora::core::testing
