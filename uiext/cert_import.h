// Certificate import from PFX files onto the token, and the container
// override that frees room for it.  All work through frame().
#pragma once

#include <cstdint>
#include <vector>

#include "QXUI.h"
#include "frame.h"

namespace qx::uiext {

// The PFX input: a length and a pointer, laid out like the system's data blob.
struct PfxDataBlob {
    uint32_t length;
    const uint8_t* data;
};

// Statuses of the import (the system cryptography service's codes).
constexpr uint32_t kImportBadArgument = 1;
constexpr uint32_t kCertAlreadyOnToken = 0x9001;
constexpr uint32_t kNteBadUid = 0x80090001u;
constexpr uint32_t kNteBadKey = 0x80090003u;
constexpr uint32_t kNteBadData = 0x80090005u;
constexpr uint32_t kNteBadVersion = 0x80090007u;
constexpr uint32_t kNteNoMemory = 0x8009000Eu;
constexpr uint32_t kNteFail = 0x80090020u;
constexpr uint32_t kNoBlob = 87;

// A key blob as the kernel takes it.
struct KernelKeyBlock {
    uint32_t algorithm = 0;  // 0x20000 RSA, 0x10000 SM2
    uint32_t keySpec = 0;
    std::vector<uint8_t> bytes;
    ~KernelKeyBlock();
};

// Checks an exported public and private blob pair: version 2, an algorithm
// of the table, RSA of 1024 or 2048 bits, SM2 of 256, lengths that match the
// bits, the same algorithm and bits in both.  0, or the status.
uint32_t CheckKeyBlobs(const std::vector<uint8_t>& publicBlob, const std::vector<uint8_t>& privateBlob);
// Builds the kernel's block of a checked blob (public: RsaPublicKeyBlock or
// the 132-byte SM2 block; private: RsaPrivateKeyBlock or the 68-byte SM2 block).
uint32_t BuildKeyBlock(const std::vector<uint8_t>& blob, KernelKeyBlock* out);

// The dialog call-backs (exposed for the tests).  The PFX call-back returns
// a platform::PfxFile* that the caller owns, or 0.
uintptr_t QXUI_CALL PfxCallback(const void* blob, const QXUI_CHAR* password);
uint32_t QXUI_CALL SelectContainerCallback(DeviceHandle device, const QXUI_CHAR* name, uint32_t deleteFlag);

uint32_t ImportCert(DeviceHandle device, const QXUI_CHAR* container, const PfxDataBlob* blob);
uint32_t OverRideContainer(DeviceHandle device, uint32_t deleteFlag);

}  // namespace qx::uiext
