#pragma once

#include "tests/support/Subprocess.h"

// Real files for the update tests: throw-away directories, helper bundles whose executable is a
// script that prints a version line, and ZIP archives written with libarchive, hostile entries among
// them.

#include <filesystem>
#include <string>
#include <tl/expected.hpp>
#include <tuple>
#include <vector>

namespace velmora::core::testing {

using TemporaryDirectory = velmora::testing::TemporaryDirectory;

void writeFile(const std::filesystem::path& file, const std::string& contents, unsigned mode = 0644);
using velmora::testing::readFile;

// Makes `parent`/Velmora Helper.app whose executable prints "Velmora Helper <version> (60), protocol 2"
// and exits with `exitStatus` (kills itself with signal -`exitStatus` when negative), with
// Contents/Resources/marker holding `marker` and a recorded digest of the executable in
// Contents/_CodeSignature/CodeResources. Returns the bundle's path.
std::filesystem::path makeBundle(const std::filesystem::path& parent, const std::string& version,
                                 const std::string& marker, int exitStatus = 0);

// The check a signature step makes in these tests: the executable's digest must equal the recorded one.
tl::expected<void, std::string> checkRecordedDigest(const std::filesystem::path& bundle);

// One entry of a hand-made ZIP archive: the name as raw bytes, the mode with its file type, the contents
// (a link's target for a link).
using ZipEntry = std::tuple<std::string, unsigned, std::string>;

// Writes every item below `root` (relative names, modes kept), then `extra`, into a ZIP archive.
void makeZip(const std::filesystem::path& root, const std::filesystem::path& zipFile,
             const std::vector<ZipEntry>& extra = {});

}  // namespace velmora::core::testing
