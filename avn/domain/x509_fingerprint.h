// The public-key fingerprint by which a Domain Manager is pinned: SHA-256 of
// the certificate's SubjectPublicKeyInfo (DER), in Base64, after "sha256//".
// That is the form libcurl's CURLOPT_PINNEDPUBLICKEY takes.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include <openssl/types.h>

// "sha256//" and 44 Base64 characters.
inline constexpr std::size_t kX509FingerprintLength = 52;

// The fingerprint of the certificate's public key; empty (after printing
// "get_x509_fingerprint failed...") when it cannot be computed.
std::string get_x509_fingerprint(X509* certificate);

// The same for a PEM certificate; empty when the text holds none.
std::string get_x509_fingerprint_pem(std::string_view pem);
