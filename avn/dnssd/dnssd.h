// The DNS-SD client interface (browse, resolve, record queries and the TXT
// helpers), with the standard names, signatures, flag values and error codes,
// implemented over multicast DNS by this library.
//
// Every operation is a service reference with a socket of its own
// (DNSServiceRefSockFD). The socket is readable while results are pending;
// DNSServiceProcessResult then runs the reference's callback for each of
// them, on the caller's thread, with kDNSServiceFlagsMoreComing set on all but
// the last; with nothing pending it returns at once, never waits. Callbacks
// never run anywhere else. A reference may be deallocated inside its own
// callback. Results a reference has not yet processed are bounded (the
// newest are dropped past the bound). Only the "local" domain is served.
#pragma once

#include <cstdint>

typedef struct _DNSServiceRef_t* DNSServiceRef;
typedef uint32_t DNSServiceFlags;
typedef int32_t DNSServiceErrorType;
// The socket of a reference, as the AVN runtime's socket type holds it.
typedef intptr_t dnssd_sock_t;

inline constexpr DNSServiceFlags kDNSServiceFlagsMoreComing = 0x1;
inline constexpr DNSServiceFlags kDNSServiceFlagsAdd = 0x2;
inline constexpr DNSServiceFlags kDNSServiceFlagsDefault = 0x4;
inline constexpr DNSServiceFlags kDNSServiceFlagsNoAutoRename = 0x8;
inline constexpr DNSServiceFlags kDNSServiceFlagsShared = 0x10;
inline constexpr DNSServiceFlags kDNSServiceFlagsUnique = 0x20;
inline constexpr DNSServiceFlags kDNSServiceFlagsBrowseDomains = 0x40;
inline constexpr DNSServiceFlags kDNSServiceFlagsRegistrationDomains = 0x80;
inline constexpr DNSServiceFlags kDNSServiceFlagsLongLivedQuery = 0x100;
inline constexpr DNSServiceFlags kDNSServiceFlagsAllowRemoteQuery = 0x200;
inline constexpr DNSServiceFlags kDNSServiceFlagsForceMulticast = 0x400;
inline constexpr DNSServiceFlags kDNSServiceFlagsForce = 0x800;
inline constexpr DNSServiceFlags kDNSServiceFlagsReturnIntermediates = 0x1000;
inline constexpr DNSServiceFlags kDNSServiceFlagsNonBrowsable = 0x2000;
inline constexpr DNSServiceFlags kDNSServiceFlagsShareConnection = 0x4000;
inline constexpr DNSServiceFlags kDNSServiceFlagsSuppressUnusable = 0x8000;
inline constexpr DNSServiceFlags kDNSServiceFlagsTimeout = 0x10000;

enum : DNSServiceErrorType {
    kDNSServiceErr_NoError = 0,
    kDNSServiceErr_Unknown = -65537,
    kDNSServiceErr_NoSuchName = -65538,
    kDNSServiceErr_NoMemory = -65539,
    kDNSServiceErr_BadParam = -65540,
    kDNSServiceErr_BadReference = -65541,
    kDNSServiceErr_BadState = -65542,
    kDNSServiceErr_BadFlags = -65543,
    kDNSServiceErr_Unsupported = -65544,
    kDNSServiceErr_NotInitialized = -65545,
    kDNSServiceErr_AlreadyRegistered = -65547,
    kDNSServiceErr_NameConflict = -65548,
    kDNSServiceErr_Invalid = -65549,
    kDNSServiceErr_Firewall = -65550,
    kDNSServiceErr_Incompatible = -65551,
    kDNSServiceErr_BadInterfaceIndex = -65552,
    kDNSServiceErr_Refused = -65553,
    kDNSServiceErr_NoSuchRecord = -65554,
    kDNSServiceErr_NoAuth = -65555,
    kDNSServiceErr_NoSuchKey = -65556,
    kDNSServiceErr_NATTraversal = -65557,
    kDNSServiceErr_DoubleNAT = -65558,
    kDNSServiceErr_BadTime = -65559,
    kDNSServiceErr_ServiceNotRunning = -65563,
    kDNSServiceErr_Timeout = -65568,
};

enum : uint32_t {
    kDNSServiceInterfaceIndexAny = 0,
    kDNSServiceInterfaceIndexLocalOnly = 0xFFFFFFFFu,
};

enum : uint16_t {
    kDNSServiceClass_IN = 1,
    kDNSServiceType_A = 1,
    kDNSServiceType_CNAME = 5,
    kDNSServiceType_PTR = 12,
    kDNSServiceType_TXT = 16,
    kDNSServiceType_AAAA = 28,
    kDNSServiceType_SRV = 33,
    kDNSServiceType_ANY = 255,
};

// Buffer sizes: a full name with every byte escaped, and a service name.
enum : int { kDNSServiceMaxServiceName = 64, kDNSServiceMaxDomainName = 1009 };

// serviceName is the instance name as advertised (not escaped); regtype the
// service type with a trailing dot ("_netaudio-cmc._udp."), even for a
// subtype browse; replyDomain "local.".
typedef void (*DNSServiceBrowseReply)(DNSServiceRef sdRef, DNSServiceFlags flags,
                                      uint32_t interfaceIndex, DNSServiceErrorType errorCode,
                                      const char* serviceName, const char* regtype,
                                      const char* replyDomain, void* context);

// fullname is escaped; hosttarget ends in a dot; port is in network order.
typedef void (*DNSServiceResolveReply)(DNSServiceRef sdRef, DNSServiceFlags flags,
                                       uint32_t interfaceIndex, DNSServiceErrorType errorCode,
                                       const char* fullname, const char* hosttarget, uint16_t port,
                                       uint16_t txtLen, const unsigned char* txtRecord,
                                       void* context);

// Names inside rdata are uncompressed. A removal has kDNSServiceFlagsAdd
// clear and a TTL of 0.
typedef void (*DNSServiceQueryRecordReply)(DNSServiceRef sdRef, DNSServiceFlags flags,
                                           uint32_t interfaceIndex, DNSServiceErrorType errorCode,
                                           const char* fullname, uint16_t rrtype, uint16_t rrclass,
                                           uint16_t rdlen, const void* rdata, uint32_t ttl,
                                           void* context);

// regtype is "_app._udp" or "_app._tcp" (trailing dot optional), or that
// followed by "," and one subtype label to browse only for that subtype.
// domain: null, "" or "local". interfaceIndex 0 browses on every interface;
// another index only on that one.
DNSServiceErrorType DNSServiceBrowse(DNSServiceRef* sdRef, DNSServiceFlags flags,
                                     uint32_t interfaceIndex, const char* regtype,
                                     const char* domain, DNSServiceBrowseReply callBack,
                                     void* context);

// Reports the instance's SRV target and port with its TXT record once both
// are known, and again whenever either changes.
DNSServiceErrorType DNSServiceResolve(DNSServiceRef* sdRef, DNSServiceFlags flags,
                                      uint32_t interfaceIndex, const char* name,
                                      const char* regtype, const char* domain,
                                      DNSServiceResolveReply callBack, void* context);

// Reports each record of (fullname, rrtype) as it is added and removed.
// rrclass must be kDNSServiceClass_IN.
DNSServiceErrorType DNSServiceQueryRecord(DNSServiceRef* sdRef, DNSServiceFlags flags,
                                          uint32_t interfaceIndex, const char* fullname,
                                          uint16_t rrtype, uint16_t rrclass,
                                          DNSServiceQueryRecordReply callBack, void* context);

// -1 for no reference.
dnssd_sock_t DNSServiceRefSockFD(DNSServiceRef sdRef);

// Runs the callbacks of the pending results; waits for one when none is
// pending (as the standard interface does: wait for the socket first).
DNSServiceErrorType DNSServiceProcessResult(DNSServiceRef sdRef);

// Ends the operation and closes its socket; no callback follows.
void DNSServiceRefDeallocate(DNSServiceRef sdRef);

// fullName must hold kDNSServiceMaxDomainName bytes. service may be null.
DNSServiceErrorType DNSServiceConstructFullName(char* fullName, const char* service,
                                                const char* regtype, const char* domain);

// Asks again for the cached record and drops it unless it is confirmed.
DNSServiceErrorType DNSServiceReconfirmRecord(DNSServiceFlags flags, uint32_t interfaceIndex,
                                              const char* fullname, uint16_t rrtype,
                                              uint16_t rrclass, uint16_t rdlen, const void* rdata);

// Keys are compared without regard to ASCII case. Null when the key is
// absent or has no "=" (TXTRecordContainsKey tells those apart).
const void* TXTRecordGetValuePtr(uint16_t txtLen, const void* txtRecord, const char* key,
                                 uint8_t* valueLen);
int TXTRecordContainsKey(uint16_t txtLen, const void* txtRecord, const char* key);
