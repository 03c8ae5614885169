#include "tests/codesign/TestAuthority.h"

#include <openssl/pem.h>
#include <openssl/x509v3.h>

#include <cstdio>
#include <memory>
#include <stdexcept>

namespace velmora::testing {

namespace {

template <class T>
T* read(const std::filesystem::path& path, T* (*reader)(FILE*, T**, pem_password_cb*, void*)) {
    FILE* file = std::fopen(path.c_str(), "r");
    if (file == nullptr) throw std::runtime_error("cannot read " + path.string());
    T* value = reader(file, nullptr, nullptr, nullptr);
    std::fclose(file);
    if (value == nullptr) throw std::runtime_error("cannot decode " + path.string());
    return value;
}

void addExtension(X509* certificate, X509* issuer, const char* name, const char* value) {
    X509V3_CTX context;
    X509V3_set_ctx(&context, issuer, certificate, nullptr, nullptr, 0);
    X509_EXTENSION* extension = X509V3_EXT_conf(nullptr, &context, name, value);
    if (extension == nullptr) throw std::runtime_error(std::string("bad extension ") + name);
    X509_add_ext(certificate, extension, -1);
    X509_EXTENSION_free(extension);
}

}  // namespace

Issued issue(const std::filesystem::path& directory, const std::string& name,
             const CertificateProfile& profile, const Issued* issuer) {
    EVP_PKEY* key = EVP_EC_gen("P-256");
    X509* certificate = X509_new();
    X509_set_version(certificate, 2);
    static long serial = 100;
    ASN1_INTEGER_set(X509_get_serialNumber(certificate), ++serial);
    X509_gmtime_adj(X509_getm_notBefore(certificate), profile.validFromDays * 86400);
    X509_gmtime_adj(X509_getm_notAfter(certificate), profile.validUntilDays * 86400);
    X509_set_pubkey(certificate, key);
    X509_NAME* subject = X509_get_subject_name(certificate);
    auto add = [&](const char* field, const std::string& value) {
        X509_NAME_add_entry_by_txt(subject, field, MBSTRING_UTF8,
                                   reinterpret_cast<const unsigned char*>(value.c_str()), -1, -1, 0);
    };
    add("O", "Velmora Tests");
    if (!profile.organizationalUnit.empty()) add("OU", profile.organizationalUnit);
    add("CN", profile.commonName);

    X509* issuerCertificate = issuer ? read(issuer->certificate, PEM_read_X509) : certificate;
    EVP_PKEY* issuerKey = issuer ? read(issuer->key, PEM_read_PrivateKey) : key;
    X509_set_issuer_name(certificate, X509_get_subject_name(issuerCertificate));
    addExtension(certificate, issuerCertificate, "basicConstraints",
                 profile.authority ? "critical,CA:TRUE" : "critical,CA:FALSE");
    std::string keyUsage = !profile.keyUsage.empty() ? profile.keyUsage
                           : profile.authority       ? "critical,keyCertSign,cRLSign"
                                                     : "critical,digitalSignature";
    addExtension(certificate, issuerCertificate, "keyUsage", keyUsage.c_str());
    if (!profile.extendedKeyUsage.empty())
        addExtension(certificate, issuerCertificate, "extendedKeyUsage", profile.extendedKeyUsage.c_str());
    addExtension(certificate, issuerCertificate, "subjectKeyIdentifier", "hash");
    if (profile.developerIdMarker)
        addExtension(certificate, issuerCertificate, "1.2.840.113635.100.6.2.6", "DER:05:00");
    X509_sign(certificate, issuerKey, EVP_sha256());

    Issued issued{directory / (name + ".key"), directory / (name + ".pem")};
    FILE* keyFile = std::fopen(issued.key.c_str(), "w");
    PEM_write_PrivateKey(keyFile, key, nullptr, nullptr, 0, nullptr, nullptr);
    std::fclose(keyFile);
    FILE* certificateFile = std::fopen(issued.certificate.c_str(), "w");
    PEM_write_X509(certificateFile, certificate);
    std::fclose(certificateFile);
    if (issuer) {
        X509_free(issuerCertificate);
        EVP_PKEY_free(issuerKey);
    }
    X509_free(certificate);
    EVP_PKEY_free(key);
    return issued;
}

Issued developmentRoot() {
    return {VELMORA_DEV_AUTHORITY_DIR "/root.key", VELMORA_DEV_AUTHORITY_DIR "/root.pem"};
}

Issued developmentIntermediate() {
    return {VELMORA_DEV_AUTHORITY_DIR "/intermediate.key", VELMORA_DEV_AUTHORITY_DIR "/intermediate.pem"};
}

}  // namespace velmora::testing
