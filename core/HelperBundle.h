#pragma once

#include <cstdint>
#include <filesystem>
#include <string>

#include "kit/HelperVersion.h"

// Facts about the running helper's own bundle. Its place is taken once, at the first call (the start);
// everything else is read from the bundle anew at each call. Every member may be read from any thread.
namespace velmora::core::HelperBundle {

// The running bundle's directory: three levels above the executable when it sits at
// X/Contents/MacOS/NAME, else the executable's own directory.
std::filesystem::path bundleURL();
// CFBundleShortVersionString, or 0.0.0 when missing, not a string or unparsable.
kit::HelperVersion version();
// CFBundleVersion as a whole decimal integer, or 0.
std::int64_t build();
// True when bundleURL() ends in ".app" (case-sensitive).
bool isRunningFromApplicationBundle();
// "Velmora Helper 1.4.0 (57), protocol 2"
std::string versionDescription();

// The same rules applied to an explicit executable or bundle, for tests and for other bundles.
std::filesystem::path bundleURLForExecutable(const std::filesystem::path& executable);
kit::HelperVersion versionOfBundle(const std::filesystem::path& bundle);
std::int64_t buildOfBundle(const std::filesystem::path& bundle);
bool isApplicationBundle(const std::filesystem::path& bundle);
std::string versionDescription(const kit::HelperVersion& version, std::int64_t build);

}  // namespace velmora::core::HelperBundle
