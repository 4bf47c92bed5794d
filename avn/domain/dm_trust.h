// What this build trusts of a Domain Manager: the root that its certificates
// are checked against, and the stored pin, the public-key fingerprint of one
// particular Domain Manager service ("sha256//" and 44 Base64 characters).
// Both are build-time constants (TPX2_DM_CA_FILE, TPX2_DM_PIN_FILE).
#pragma once

extern const char avn_dm_ca_certificate[];
extern const char avn_dm_stored_pin[];
