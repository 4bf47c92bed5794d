#include "avn/domain/x509_fingerprint.h"

#include <cstdio>
#include <memory>

#include <openssl/bio.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>

namespace {

struct X509Free {
    void operator()(X509* certificate) const { X509_free(certificate); }
};
struct BioFree {
    void operator()(BIO* bio) const { BIO_free(bio); }
};
struct OpensslFree {
    void operator()(unsigned char* bytes) const { OPENSSL_free(bytes); }
};

std::string fingerprint_or_empty(X509* certificate) {
    if (certificate == nullptr) {
        return {};
    }
    unsigned char* der = nullptr;
    const int der_length = i2d_X509_PUBKEY(X509_get_X509_PUBKEY(certificate), &der);
    if (der_length <= 0) {
        return {};
    }
    const std::unique_ptr<unsigned char, OpensslFree> owned_der(der);
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int digest_length = 0;
    if (EVP_Digest(der, static_cast<size_t>(der_length), digest, &digest_length, EVP_sha256(),
                   nullptr) != 1) {
        return {};
    }
    // Base64 of 32 bytes is 44 characters, plus the terminator EVP writes.
    unsigned char base64[48];
    const int base64_length = EVP_EncodeBlock(base64, digest, static_cast<int>(digest_length));
    if (base64_length <= 0) {
        return {};
    }
    std::string fingerprint = "sha256//";
    fingerprint.append(reinterpret_cast<const char*>(base64), static_cast<size_t>(base64_length));
    return fingerprint;
}

}  // namespace

std::string get_x509_fingerprint(X509* certificate) {
    std::string fingerprint = fingerprint_or_empty(certificate);
    if (fingerprint.empty()) {
        std::fputs("get_x509_fingerprint failed...\n", stdout);
    }
    return fingerprint;
}

std::string get_x509_fingerprint_pem(std::string_view pem) {
    const std::unique_ptr<BIO, BioFree> bio(
        BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())));
    if (!bio) {
        return get_x509_fingerprint(nullptr);
    }
    const std::unique_ptr<X509, X509Free> certificate(
        PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr));
    return get_x509_fingerprint(certificate.get());
}
