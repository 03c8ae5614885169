#include "codesign/CodeResources.h"

#include <cstdio>
#include <optional>

namespace velmora::codesign {

namespace {

constexpr std::string_view kHeader = "VelmoraCodeResources 1";

std::string escape(std::string_view text) {
    static constexpr char digits[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(text.size());
    for (unsigned char c : text) {
        if (c <= 0x20 || c == 0x7f || c == '%') {
            out += '%';
            out += digits[c >> 4];
            out += digits[c & 0xf];
        } else {
            out += static_cast<char>(c);
        }
    }
    return out;
}

std::optional<std::string> unescape(std::string_view text) {
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '%') {
            out += text[i];
            continue;
        }
        if (i + 2 >= text.size()) return std::nullopt;
        auto hex = [](char c) -> int {
            if (c >= '0' && c <= '9') return c - '0';
            if (c >= 'A' && c <= 'F') return c - 'A' + 10;
            return -1;
        };
        int high = hex(text[i + 1]), low = hex(text[i + 2]);
        if (high < 0 || low < 0) return std::nullopt;
        out += static_cast<char>(high * 16 + low);
        i += 2;
    }
    return out;
}

std::string_view typeName(ResourceEntry::Type type) {
    switch (type) {
        case ResourceEntry::Type::file:
            return "file";
        case ResourceEntry::Type::directory:
            return "dir";
        case ResourceEntry::Type::link:
            return "link";
    }
    return "?";
}

std::string quoted(const std::string& path) {
    return "\"" + path + "\"";
}

CodeSignError damaged(std::string why) {
    return CodeSignError{Status::resourcesDamaged,
                         "The sealed resource list is damaged: " + std::move(why) + "."};
}

std::vector<std::string_view> words(std::string_view line) {
    std::vector<std::string_view> out;
    size_t start = 0;
    while (start <= line.size()) {
        size_t space = line.find(' ', start);
        if (space == std::string_view::npos) space = line.size();
        out.push_back(line.substr(start, space - start));
        start = space + 1;
    }
    return out;
}

}  // namespace

std::string serialize(const CodeResources& resources) {
    std::string text(kHeader);
    text += "\nidentifier " + escape(resources.identifier) + "\n";
    for (const auto& entry : resources.entries) {
        char mode[8];
        std::snprintf(mode, sizeof mode, "%04o", entry.mode & 07777);
        text += std::string(typeName(entry.type)) + " " + mode + " " +
                (entry.type == ResourceEntry::Type::directory ? "-" : escape(entry.payload)) + " " +
                escape(entry.path) + "\n";
    }
    return text;
}

tl::expected<CodeResources, CodeSignError> parseCodeResources(std::string_view text) {
    CodeResources resources;
    std::vector<std::string_view> lines;
    for (size_t start = 0; start < text.size();) {
        size_t end = text.find('\n', start);
        if (end == std::string_view::npos) return tl::unexpected(damaged("the last line is unterminated"));
        lines.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    if (lines.size() < 2 || lines[0] != kHeader) return tl::unexpected(damaged("unknown format"));
    auto identifier = words(lines[1]);
    if (identifier.size() != 2 || identifier[0] != "identifier" || identifier[1].empty())
        return tl::unexpected(damaged("no identifier"));
    auto id = unescape(identifier[1]);
    if (!id) return tl::unexpected(damaged("bad identifier"));
    resources.identifier = *id;
    for (size_t i = 2; i < lines.size(); ++i) {
        auto fields = words(lines[i]);
        if (fields.size() != 4 || fields[1].size() != 4 || fields[3].empty())
            return tl::unexpected(damaged("line " + std::to_string(i + 1)));
        ResourceEntry entry;
        if (fields[0] == "file")
            entry.type = ResourceEntry::Type::file;
        else if (fields[0] == "dir")
            entry.type = ResourceEntry::Type::directory;
        else if (fields[0] == "link")
            entry.type = ResourceEntry::Type::link;
        else
            return tl::unexpected(damaged("line " + std::to_string(i + 1)));
        for (char c : fields[1]) {
            if (c < '0' || c > '7') return tl::unexpected(damaged("line " + std::to_string(i + 1)));
            entry.mode = entry.mode * 8 + static_cast<std::uint32_t>(c - '0');
        }
        auto payload = unescape(fields[2]);
        auto path = unescape(fields[3]);
        if (!payload || !path) return tl::unexpected(damaged("line " + std::to_string(i + 1)));
        if (entry.type != ResourceEntry::Type::directory) entry.payload = *payload;
        entry.path = *path;
        if (!resources.entries.empty() && resources.entries.back().path >= entry.path)
            return tl::unexpected(damaged("entries out of order"));
        resources.entries.push_back(std::move(entry));
    }
    return resources;
}

tl::expected<void, CodeSignError> compareResources(const std::vector<ResourceEntry>& sealed,
                                                   const std::vector<ResourceEntry>& onDisk,
                                                   Comparing comparing) {
    size_t s = 0, d = 0;
    while (s < sealed.size() || d < onDisk.size()) {
        if (d == onDisk.size() || (s < sealed.size() && sealed[s].path < onDisk[d].path))
            return tl::unexpected(
                CodeSignError{Status::fileMissing, quoted(sealed[s].path) + " is missing from the bundle."});
        if (s == sealed.size() || onDisk[d].path < sealed[s].path)
            return tl::unexpected(
                CodeSignError{Status::fileAdded, quoted(onDisk[d].path) + " was added after signing."});
        const auto& want = sealed[s];
        const auto& have = onDisk[d];
        if (want.type != have.type)
            return tl::unexpected(
                CodeSignError{Status::fileModified, quoted(have.path) + " changed its type after signing."});
        if (want.payload != have.payload &&
            (want.type != ResourceEntry::Type::file || comparing == Comparing::everything)) {
            if (want.type == ResourceEntry::Type::link)
                return tl::unexpected(
                    CodeSignError{Status::linkChanged,
                                  "The link " + quoted(have.path) + " points elsewhere than when signed."});
            return tl::unexpected(
                CodeSignError{Status::fileModified, quoted(have.path) + " was modified after signing."});
        }
        if (want.mode != have.mode)
            return tl::unexpected(CodeSignError{
                Status::modeChanged, "The permissions of " + quoted(have.path) + " changed after signing."});
        ++s;
        ++d;
    }
    return {};
}

}  // namespace velmora::codesign
