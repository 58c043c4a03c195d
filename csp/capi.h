// The CryptoAPI values the provider speaks, as plain numbers: the portable
// units are built without the system's headers (and the Windows face must not
// see two definitions of the same macro names), so they carry their own names.
#pragma once

#include <cstdint>

namespace qx::csp::capi {

// Provider type and context flags.
constexpr uint32_t kProvRsaFull = 1;
constexpr uint32_t kVerifyContext = 0xF0000000u;
constexpr uint32_t kNewKeyset = 0x8;
constexpr uint32_t kDeleteKeyset = 0x10;
constexpr uint32_t kMachineKeyset = 0x20;
constexpr uint32_t kSilent = 0x40;
constexpr uint32_t kDefaultContainerOptional = 0x80;

// Provider parameters.
constexpr uint32_t kPpEnumAlgs = 1;
constexpr uint32_t kPpEnumContainers = 2;
constexpr uint32_t kPpImpType = 3;
constexpr uint32_t kPpName = 4;
constexpr uint32_t kPpVersion = 5;
constexpr uint32_t kPpContainer = 6;
constexpr uint32_t kPpProvType = 16;
constexpr uint32_t kPpEnumAlgsEx = 22;
constexpr uint32_t kPpKeyExchangePin = 32;
constexpr uint32_t kPpSignaturePin = 33;
constexpr uint32_t kPpUniqueContainer = 36;
constexpr uint32_t kPpKeySpec = 39;
constexpr uint32_t kCryptFirst = 1;
constexpr uint32_t kCryptNext = 2;
constexpr uint32_t kImplHardware = 1;

// Key specs and algorithm identifiers.
constexpr uint32_t kAtKeyExchange = 1;
constexpr uint32_t kAtSignature = 2;
constexpr uint32_t kCalgMd5 = 0x8003;
constexpr uint32_t kCalgSha1 = 0x8004;
constexpr uint32_t kCalgSsl3ShaMd5 = 0x8008;
constexpr uint32_t kCalgSha256 = 0x800C;
constexpr uint32_t kCalgSha384 = 0x800D;
constexpr uint32_t kCalgSha512 = 0x800E;
constexpr uint32_t kCalgRsaSign = 0x2400;
constexpr uint32_t kCalgRsaKeyx = 0xA400;

// Hash and key parameters.
constexpr uint32_t kHpAlgId = 1;
constexpr uint32_t kHpHashVal = 2;
constexpr uint32_t kHpHashSize = 4;
constexpr uint32_t kKpPermissions = 6;
constexpr uint32_t kKpAlgId = 7;
constexpr uint32_t kKpBlockLen = 8;
constexpr uint32_t kKpKeyLen = 9;
constexpr uint32_t kKpCertificate = 26;
constexpr uint32_t kPermEncrypt = 0x1, kPermDecrypt = 0x2, kPermRead = 0x8, kPermWrite = 0x10;

// Key blobs and operation flags.
constexpr uint8_t kPublicKeyBlob = 0x6;
constexpr uint8_t kPrivateKeyBlob = 0x7;
constexpr uint8_t kBlobVersion = 2;
constexpr uint32_t kRsa1Magic = 0x31415352;  // "RSA1"
constexpr uint32_t kRsa2Magic = 0x32415352;  // "RSA2"
constexpr uint32_t kNoHashOid = 0x1;
constexpr uint32_t kOaep = 0x40;
constexpr uint32_t kExportable = 0x1;
constexpr uint32_t kUserProtected = 0x2;

// Errors (SetLastError values).
constexpr uint32_t kErrorInvalidHandle = 6;
constexpr uint32_t kErrorInvalidParameter = 87;
constexpr uint32_t kErrorMoreData = 234;
constexpr uint32_t kErrorNoMoreItems = 259;
constexpr uint32_t kNteBadUid = 0x80090001u;
constexpr uint32_t kNteBadHash = 0x80090002u;
constexpr uint32_t kNteBadKey = 0x80090003u;
constexpr uint32_t kNteBadLen = 0x80090004u;
constexpr uint32_t kNteBadData = 0x80090005u;
constexpr uint32_t kNteBadSignature = 0x80090006u;
constexpr uint32_t kNteBadAlgId = 0x80090008u;
constexpr uint32_t kNteBadFlags = 0x80090009u;
constexpr uint32_t kNteBadType = 0x8009000Au;
constexpr uint32_t kNteBadKeyState = 0x8009000Bu;
constexpr uint32_t kNteBadHashState = 0x8009000Cu;
constexpr uint32_t kNteNoKey = 0x8009000Du;
constexpr uint32_t kNteNoMemory = 0x8009000Eu;
constexpr uint32_t kNteExists = 0x8009000Fu;
constexpr uint32_t kNtePerm = 0x80090010u;
constexpr uint32_t kNteBadPublicKey = 0x80090015u;
constexpr uint32_t kNteBadKeyset = 0x80090016u;
constexpr uint32_t kNteBadKeysetParam = 0x8009001Fu;
constexpr uint32_t kNteProviderDllFail = 0x8009001Du;
constexpr uint32_t kNteFail = 0x80090020u;
constexpr uint32_t kNteSilentContext = 0x80090022u;
constexpr uint32_t kNteTokenKeysetStorageFull = 0x80090023u;
constexpr uint32_t kNteNotSupported = 0x80090029u;
constexpr uint32_t kScardNoSmartcard = 0x8010000Cu;
constexpr uint32_t kScardNoSuchCertificate = 0x8010002Cu;
constexpr uint32_t kScardRemovedCard = 0x80100069u;
constexpr uint32_t kScardSecurityViolation = 0x8010006Au;
constexpr uint32_t kScardWrongChv = 0x8010006Bu;
constexpr uint32_t kScardChvBlocked = 0x8010006Cu;
constexpr uint32_t kScardCancelledByUser = 0x8010006Eu;

}  // namespace qx::csp::capi
