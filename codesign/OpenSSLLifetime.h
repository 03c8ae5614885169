#pragma once

#include <openssl/crypto.h>

namespace velmora::codesign {

// OpenSSL otherwise frees its global and per-thread state from an exit handler of its own, while
// threads of ours may still be inside it (a check or a digest on a pool thread as the process ends).
// Included by every file that calls OpenSSL, so that this runs before any first use; the end of the
// process reclaims the memory anyway.
inline const bool kOpenSSLKeptUntilExit = OPENSSL_init_crypto(OPENSSL_INIT_NO_ATEXIT, nullptr) == 1;

}  // namespace velmora::codesign
