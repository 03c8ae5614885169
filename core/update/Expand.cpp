// The expand step of a self-update, on libarchive, in process.

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <memory>
#include <system_error>
#include <vector>

#include "core/update/ArchiveLibrary.h"
#include "core/update/HelperUpdaterIO.h"
#include "platform/UniqueFd.h"

namespace velmora::core::HelperUpdaterIO {

namespace fs = std::filesystem;
using kit::HelperUpdateError;

namespace {

tl::unexpected<HelperUpdateError> failed(std::string text) {
    return tl::unexpected(HelperUpdateError::expansionFailed(std::move(text)));
}

std::string libraryMessage(const ArchiveLibrary& lib, archive* handle, const char* fallback) {
    const char* message = lib.archive_error_string(handle);
    return message && *message ? message : fallback;
}

// A write that failed names the entry and the system's reason ("No space left on device").
tl::unexpected<HelperUpdateError> writeFailed(const ArchiveLibrary& lib, archive* writer,
                                              const std::string& name) {
    int code = lib.archive_errno(writer);
    std::string reason = code > 0 ? std::error_code(code, std::generic_category()).message()
                                  : libraryMessage(lib, writer, "unknown error");
    return failed("The archive entry \"" + name + "\" could not be written: " + reason);
}

// An archive may unpack to at most this many times its own size and hold at most this many entries:
// far above any bundle, and a bound on what a crafted archive can make the helper write.
constexpr std::int64_t kMaximumExpansionRatio = 64;
constexpr std::int64_t kMaximumEntries = 100000;

struct Budget {
    std::int64_t bytesLeft;
    std::int64_t entriesLeft = kMaximumEntries;
    [[nodiscard]] bool fits(std::int64_t bytes) const { return bytes <= bytesLeft; }
};

tl::unexpected<HelperUpdateError> tooLarge() {
    return failed("The archive unpacks to more than " + std::to_string(kMaximumExpansionRatio) +
                  " times its size; it is refused.");
}

// The components of a relative name with "." dropped (none for the destination itself, "./"); nothing
// when the name is absolute or empty or holds a ".." component.
std::optional<std::vector<std::string>> plainComponents(std::string_view name) {
    if (name.empty() || name.front() == '/') return std::nullopt;
    std::vector<std::string> components;
    for (size_t start = 0; start <= name.size();) {
        size_t end = std::min(name.find('/', start), name.size());
        std::string_view component = name.substr(start, end - start);
        if (component == "..") return std::nullopt;
        if (!component.empty() && component != ".") components.emplace_back(component);
        start = end + 1;
    }
    return components;
}

// True when the link at `components` with `target` stays inside the destination, read as written.
// Links through other links are caught after extraction, on disk.
bool targetStaysInside(const std::vector<std::string>& components, std::string_view target) {
    if (target.empty() || target.front() == '/') return false;
    std::vector<std::string_view> path(components.begin(), components.end() - 1);
    for (size_t start = 0; start <= target.size();) {
        size_t end = std::min(target.find('/', start), target.size());
        std::string_view component = target.substr(start, end - start);
        if (component == "..") {
            if (path.empty()) return false;
            path.pop_back();
        } else if (!component.empty() && component != ".") {
            path.push_back(component);
        }
        start = end + 1;
    }
    return true;
}

// libarchive closes what it wrote without looking at the result: a flush of our own reports what the
// file system could not keep. A file its owner may not read is left to the swap's own flush.
tl::expected<void, HelperUpdateError> flushFile(const fs::path& file, const std::string& name) {
    platform::UniqueFd fd(::open(file.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    if (!fd.valid() && errno == EACCES) return {};
    if (fd.valid() && (::fsync(fd.get()) == 0 || errno == EINVAL)) return {};
    return failed("The archive entry \"" + name +
                  "\" could not be written: " + std::error_code(errno, std::generic_category()).message());
}

bool isInside(const fs::path& path, const fs::path& root) {
    auto [rootEnd, pathAt] = std::mismatch(root.begin(), root.end(), path.begin(), path.end());
    return rootEnd == root.end();
}

using Reader = std::unique_ptr<archive, decltype(&::archive_read_free)>;
using Writer = std::unique_ptr<archive, decltype(&::archive_write_free)>;

tl::expected<void, HelperUpdateError> extractEntries(const ArchiveLibrary& lib, archive* reader,
                                                     archive* writer, const fs::path& root,
                                                     std::vector<fs::path>& links, Budget& budget) {
    for (;;) {
        archive_entry* entry = nullptr;
        int status = lib.archive_read_next_header(reader, &entry);
        if (status == ARCHIVE_EOF) return {};
        if (status < ARCHIVE_WARN)
            return failed(libraryMessage(lib, reader, "The archive could not be read."));
        std::string name = lib.archive_entry_pathname(entry) ? lib.archive_entry_pathname(entry) : "";
        auto components = plainComponents(name);
        auto type = lib.archive_entry_filetype(entry);
        const char* hardlink = lib.archive_entry_hardlink(entry);
        // "./" is the destination itself, which exists: nothing to make.
        if (components && components->empty() && type == AE_IFDIR && !hardlink) continue;
        if (!components || components->empty())
            return failed("The archive entry \"" + name + "\" leaves the destination.");
        if (--budget.entriesLeft < 0)
            return failed("The archive holds more than " + std::to_string(kMaximumEntries) +
                          " entries; it is refused.");
        if (type == AE_IFREG && lib.archive_entry_size_is_set(entry) &&
            !budget.fits(lib.archive_entry_size(entry)))
            return tooLarge();
        fs::path target = root;
        for (const auto& component : *components) target /= component;

        if (hardlink) {
            auto linked = plainComponents(hardlink);
            if (!linked || linked->empty())
                return failed("The archive entry \"" + name + "\" links outside the destination.");
            fs::path linkedPath = root;
            for (const auto& component : *linked) linkedPath /= component;
            lib.archive_entry_set_hardlink(entry, linkedPath.c_str());
        } else if (type == AE_IFLNK) {
            const char* symlink = lib.archive_entry_symlink(entry);
            if (!symlink || !targetStaysInside(*components, symlink))
                return failed("The archive entry \"" + name + "\" links outside the destination.");
            links.push_back(target);
        } else if (type != AE_IFREG && type != AE_IFDIR) {
            return failed("The archive entry \"" + name + "\" is neither a file, a folder nor a link.");
        }
        lib.archive_entry_set_pathname(entry, target.c_str());
        // Set-id bits dropped; a folder stays open to its owner, so that its contents can be written
        // and the clean-up can remove them whatever mode the archive gives it.
        auto mode = lib.archive_entry_perm(entry) & 0777;
        lib.archive_entry_set_perm(entry, type == AE_IFDIR ? mode | 0700 : mode);

        // A warning from the disk writer is a write that did not happen (a full disk among them).
        if (lib.archive_write_header(writer, entry) != ARCHIVE_OK) return writeFailed(lib, writer, name);
        if (lib.archive_entry_size(entry) > 0 && !hardlink) {
            const void* block = nullptr;
            size_t size = 0;
            la_int64_t offset = 0;
            while ((status = lib.archive_read_data_block(reader, &block, &size, &offset)) == ARCHIVE_OK) {
                if (!budget.fits(static_cast<std::int64_t>(size))) return tooLarge();
                budget.bytesLeft -= static_cast<std::int64_t>(size);
                if (lib.archive_write_data_block(writer, block, size, offset) != ARCHIVE_OK)
                    return writeFailed(lib, writer, name);
            }
            if (status != ARCHIVE_EOF)
                return failed(libraryMessage(lib, reader, "The archive could not be read."));
        }
        if (lib.archive_write_finish_entry(writer) != ARCHIVE_OK) return writeFailed(lib, writer, name);
        if (type == AE_IFREG && !hardlink)
            if (auto flushed = flushFile(target, name); !flushed) return flushed;
    }
}

}  // namespace

tl::expected<void, HelperUpdateError> expand(const fs::path& archivePath, const fs::path& destination) {
    std::error_code error;
    // Without links in the destination's own path, the library's refusal to write through links
    // concerns only what the archive makes.
    fs::path root = fs::canonical(destination, error);
    if (error)
        return failed("The folder \"" + destination.string() + "\" cannot be used: " + error.message());
    auto library = ArchiveLibrary::get();
    if (!library) return failed(library.error());
    const ArchiveLibrary& lib = **library;

    Reader reader(lib.archive_read_new(), lib.archive_read_free);
    Writer writer(lib.archive_write_disk_new(), lib.archive_write_free);
    if (!reader || !writer) return failed("The archive could not be opened: out of memory.");
    lib.archive_read_support_format_zip(reader.get());
    // Permission bits kept, owners not restored (the helper's user owns what it unpacks).
    lib.archive_write_disk_set_options(writer.get(), ARCHIVE_EXTRACT_PERM | ARCHIVE_EXTRACT_TIME |
                                                         ARCHIVE_EXTRACT_SECURE_SYMLINKS |
                                                         ARCHIVE_EXTRACT_SECURE_NODOTDOT);
    if (lib.archive_read_open_filename(reader.get(), archivePath.c_str(), 1 << 16) != ARCHIVE_OK)
        return failed(libraryMessage(lib, reader.get(), "The archive could not be opened."));

    std::vector<fs::path> links;
    Budget budget{.bytesLeft = fileSize(archivePath) * kMaximumExpansionRatio};
    auto extracted = extractEntries(lib, reader.get(), writer.get(), root, links, budget);
    // Sets the folders' modes, deferred until their contents are written.
    if (lib.archive_write_close(writer.get()) != ARCHIVE_OK && extracted)
        extracted = failed(libraryMessage(lib, writer.get(), "The archive could not be unpacked."));
    if (!extracted) return extracted;

    // A link may lead out through another link that looked harmless on its own; on disk it shows.
    for (const auto& link : links) {
        // The link itself is not followed by weakly_canonical when it dangles: follow it by hand.
        fs::path target = fs::read_symlink(link, error);
        fs::path resolved = error ? fs::path() : fs::weakly_canonical(link.parent_path() / target, error);
        if (error || !isInside(resolved, root))
            return failed("The archive entry \"" + link.lexically_relative(root).string() +
                          "\" links outside the destination.");
    }
    return {};
}

}  // namespace velmora::core::HelperUpdaterIO
