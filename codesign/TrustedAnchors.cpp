#include "codesign/TrustedAnchors.h"

#include <openssl/pem.h>
#include <openssl/x509v3.h>

#include <cstdlib>
#include <memory>

#include "TrustedAnchorsPem.h"
#include "codesign/OpenSSLLifetime.h"

namespace velmora::codesign {

X509_STORE* trustedAnchors() {
    static X509_STORE* const store = [] {
        X509_STORE* made = X509_STORE_new();
        std::unique_ptr<BIO, decltype(&BIO_free)> pem(
            BIO_new_mem_buf(generated::trustedAnchorsPem, sizeof generated::trustedAnchorsPem - 1), BIO_free);
        int added = 0;
        while (X509* certificate = PEM_read_bio_X509(pem.get(), nullptr, nullptr, nullptr)) {
            // Fills the certificate's cached extensions now: concurrent checks would each fill them
            // on first use, racing to write what the others read.
            (void)X509_check_purpose(certificate, -1, 0);
            if (X509_STORE_add_cert(made, certificate) == 1) ++added;
            X509_free(certificate);
        }
        // The build refuses an anchors file without certificates; one that still yields none is a
        // broken build, and trusting nothing is the only safe reading of it.
        if (made == nullptr || added == 0) std::abort();
        return made;
    }();
    return store;
}

}  // namespace velmora::codesign
