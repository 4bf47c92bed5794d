// The test authority's certificates and keys, built into the program so that
// avn-sim finds them wherever it runs from. These keys are test keys, public
// by being in the source tree.
#pragma once

#include "sim/dm/dm_settings.h"

namespace sim {

struct DmCertificatePem {
    const char* certificate;  // the server's own certificate alone, PEM
    const char* key;          // its private key, PEM
};

DmCertificatePem dm_certificate_pem(DmCertificate certificate);
// The test root, PEM: what a client trusts to accept server, pinned and other.
const char* dm_test_ca_pem();
// The root of the untrusted certificate, PEM: what a test installs as a
// "public" root that the system would trust and this program must not.
const char* dm_untrusted_ca_pem();

}  // namespace sim
