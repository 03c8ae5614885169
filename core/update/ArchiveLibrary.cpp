#include "core/update/ArchiveLibrary.h"

#include "platform/SharedLibrary.h"

namespace velmora::core {

tl::expected<const ArchiveLibrary*, std::string> ArchiveLibrary::get() {
    // Debian 12's libarchive13.
    static const auto loaded =
        platform::SharedLibrary::loadTable<ArchiveLibrary>("libarchive.so.13", [](auto& t, auto& bind) {
            bind(t.archive_error_string, "archive_error_string");
            bind(t.archive_errno, "archive_errno");
            bind(t.archive_read_new, "archive_read_new");
            bind(t.archive_read_free, "archive_read_free");
            bind(t.archive_read_support_format_zip, "archive_read_support_format_zip");
            bind(t.archive_read_open_filename, "archive_read_open_filename");
            bind(t.archive_read_next_header, "archive_read_next_header");
            bind(t.archive_read_data_block, "archive_read_data_block");
            bind(t.archive_write_disk_new, "archive_write_disk_new");
            bind(t.archive_write_disk_set_options, "archive_write_disk_set_options");
            bind(t.archive_write_header, "archive_write_header");
            bind(t.archive_write_data_block, "archive_write_data_block");
            bind(t.archive_write_finish_entry, "archive_write_finish_entry");
            bind(t.archive_write_close, "archive_write_close");
            bind(t.archive_write_free, "archive_write_free");
            bind(t.archive_entry_pathname, "archive_entry_pathname");
            bind(t.archive_entry_hardlink, "archive_entry_hardlink");
            bind(t.archive_entry_symlink, "archive_entry_symlink");
            bind(t.archive_entry_filetype, "archive_entry_filetype");
            bind(t.archive_entry_perm, "archive_entry_perm");
            bind(t.archive_entry_size, "archive_entry_size");
            bind(t.archive_entry_size_is_set, "archive_entry_size_is_set");
            bind(t.archive_entry_set_pathname, "archive_entry_set_pathname");
            bind(t.archive_entry_set_hardlink, "archive_entry_set_hardlink");
            bind(t.archive_entry_set_perm, "archive_entry_set_perm");
        });
    if (!loaded) return tl::unexpected(loaded.error());
    return &*loaded;
}

}  // namespace velmora::core
