#include "core/ArchiveLibrary.h"

#include "platform/SharedLibrary.h"

namespace velmora::core {

namespace {

tl::expected<ArchiveLibrary, std::string> load() {
    // Debian 12's libarchive13.
    auto library = platform::SharedLibrary::open("libarchive.so.13");
    if (!library) return tl::unexpected(library.error());
    ArchiveLibrary table;
    tl::expected<void, std::string> bound;
    auto bind = [&](auto& slot, const char* name) {
        if (bound) bound = library->bind(slot, name);
    };
    bind(table.archive_error_string, "archive_error_string");
    bind(table.archive_errno, "archive_errno");
    bind(table.archive_read_new, "archive_read_new");
    bind(table.archive_read_free, "archive_read_free");
    bind(table.archive_read_support_format_zip, "archive_read_support_format_zip");
    bind(table.archive_read_open_filename, "archive_read_open_filename");
    bind(table.archive_read_next_header, "archive_read_next_header");
    bind(table.archive_read_data_block, "archive_read_data_block");
    bind(table.archive_write_disk_new, "archive_write_disk_new");
    bind(table.archive_write_disk_set_options, "archive_write_disk_set_options");
    bind(table.archive_write_header, "archive_write_header");
    bind(table.archive_write_data_block, "archive_write_data_block");
    bind(table.archive_write_finish_entry, "archive_write_finish_entry");
    bind(table.archive_write_close, "archive_write_close");
    bind(table.archive_write_free, "archive_write_free");
    bind(table.archive_entry_pathname, "archive_entry_pathname");
    bind(table.archive_entry_hardlink, "archive_entry_hardlink");
    bind(table.archive_entry_symlink, "archive_entry_symlink");
    bind(table.archive_entry_filetype, "archive_entry_filetype");
    bind(table.archive_entry_perm, "archive_entry_perm");
    bind(table.archive_entry_size, "archive_entry_size");
    bind(table.archive_entry_size_is_set, "archive_entry_size_is_set");
    bind(table.archive_entry_set_pathname, "archive_entry_set_pathname");
    bind(table.archive_entry_set_hardlink, "archive_entry_set_hardlink");
    bind(table.archive_entry_set_perm, "archive_entry_set_perm");
    if (!bound) return tl::unexpected(bound.error());
    // Kept for the process's life, like the table that points into it.
    static const auto* kept = new platform::SharedLibrary(std::move(*library));
    (void)kept;
    return table;
}

}  // namespace

tl::expected<const ArchiveLibrary*, std::string> ArchiveLibrary::get() {
    static const tl::expected<ArchiveLibrary, std::string> loaded = load();
    if (!loaded) return tl::unexpected(loaded.error());
    return &*loaded;
}

}  // namespace velmora::core
