#pragma once

#include <openssl/x509.h>

namespace velmora::codesign {

// The certificate store of the anchors compiled into this program, built once on first use. Nothing
// read at run time (environment, files, arguments) adds to it. Safe to share between threads.
X509_STORE* trustedAnchors();

}  // namespace velmora::codesign
