#pragma once

// Certificates made for a test: issued by the build's development authority (which the helper trusts)
// or by a root of the test's own (which it does not).

#include <filesystem>
#include <string>

namespace velmora::testing {

struct Issued {
    std::filesystem::path key;
    std::filesystem::path certificate;
};

struct CertificateProfile {
    std::string commonName;
    std::string organizationalUnit;  // none when empty
    bool authority = false;
    bool developerIdMarker = false;  // the intermediate's 1.2.840.113635.100.6.2.6
    long validFromDays = -1;         // relative to now
    long validUntilDays = 365;
    std::string keyUsage;          // empty: the usual for an authority or a signing leaf
    std::string extendedKeyUsage;  // none when empty
};

// Writes <directory>/<name>.key and .pem; self-signed when `issuer` is null.
Issued issue(const std::filesystem::path& directory, const std::string& name,
             const CertificateProfile& profile, const Issued* issuer);

// The build's development authority.
Issued developmentRoot();
Issued developmentIntermediate();

}  // namespace velmora::testing
