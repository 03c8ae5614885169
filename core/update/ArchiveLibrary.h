#pragma once

#include <archive.h>
#include <archive_entry.h>

#include <string>
#include <tl/expected.hpp>

namespace velmora::core {

// The libarchive functions the update's expansion uses, loaded when an update first expands an
// archive rather than at start. The headers still supply the types and constants; each member has the
// type of the function it is named after.
struct ArchiveLibrary {
    decltype(&::archive_error_string) archive_error_string = nullptr;
    decltype(&::archive_errno) archive_errno = nullptr;
    decltype(&::archive_read_new) archive_read_new = nullptr;
    decltype(&::archive_read_free) archive_read_free = nullptr;
    decltype(&::archive_read_support_format_zip) archive_read_support_format_zip = nullptr;
    decltype(&::archive_read_open_filename) archive_read_open_filename = nullptr;
    decltype(&::archive_read_next_header) archive_read_next_header = nullptr;
    decltype(&::archive_read_data_block) archive_read_data_block = nullptr;
    decltype(&::archive_write_disk_new) archive_write_disk_new = nullptr;
    decltype(&::archive_write_disk_set_options) archive_write_disk_set_options = nullptr;
    decltype(&::archive_write_header) archive_write_header = nullptr;
    decltype(&::archive_write_data_block) archive_write_data_block = nullptr;
    decltype(&::archive_write_finish_entry) archive_write_finish_entry = nullptr;
    decltype(&::archive_write_close) archive_write_close = nullptr;
    decltype(&::archive_write_free) archive_write_free = nullptr;
    decltype(&::archive_entry_pathname) archive_entry_pathname = nullptr;
    decltype(&::archive_entry_hardlink) archive_entry_hardlink = nullptr;
    decltype(&::archive_entry_symlink) archive_entry_symlink = nullptr;
    decltype(&::archive_entry_filetype) archive_entry_filetype = nullptr;
    decltype(&::archive_entry_perm) archive_entry_perm = nullptr;
    decltype(&::archive_entry_size) archive_entry_size = nullptr;
    decltype(&::archive_entry_size_is_set) archive_entry_size_is_set = nullptr;
    decltype(&::archive_entry_set_pathname) archive_entry_set_pathname = nullptr;
    decltype(&::archive_entry_set_hardlink) archive_entry_set_hardlink = nullptr;
    decltype(&::archive_entry_set_perm) archive_entry_set_perm = nullptr;

    // Loaded once for the process and never unloaded; later calls return the first outcome. The error
    // names the library and the reason, for a message people read.
    [[nodiscard]] static tl::expected<const ArchiveLibrary*, std::string> get();
};

}  // namespace velmora::core
