// What this build trusts of a Domain Manager: the root (or roots) that its
// certificates are checked against, and the stored pin, the public-key
// fingerprint of one particular Domain Manager service ("sha256//" and 44
// Base64 characters). Both are build-time constants (TPX2_DM_CA_FILE,
// TPX2_DM_PIN_FILE).
#pragma once

extern const char avn_dm_ca_certificate[];
extern const char avn_dm_stored_pin[];
// True in a test build: one that trusts avn-sim's test authority, whose
// private keys anyone can read. Such a build says so wherever it shows its
// version.
extern const bool avn_dm_trusts_test_authority;

// The words a test build adds to its version texts.
inline constexpr const char* kAvnDmTestBuildNote = "test build: trusts the test authority";
