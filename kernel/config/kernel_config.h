// Every Config.ini value the kernel reads, with its default.  Strings are cut
// to the buffer sizes the kernel keeps them in (260 or 1024 bytes, NUL included).
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace qx::kernel {

class CU8Ini;

constexpr uint32_t kNameBufferSize = 260;
constexpr uint32_t kWordListBufferSize = 1024;

constexpr const char kDefaultProviderName[] = "Quorvantix Base CSP v1.0";

// One (range name, slot count) entry of the key-pair slot table.
struct KeyPairRange {
    std::string name;
    int32_t count = 0;
};

struct KernelConfig {
    // [QXTokenInfo]
    std::string cspName = kDefaultProviderName;
    std::string productName = "{81BCD07E-8752-48d9-B24B-7B983FF87DE5}";
    std::string productVersion = "1.0";
    int32_t skAlg = 0;
    int32_t tranSignWaitTime = 60;
    int32_t tranHashMeth = 1;
    int32_t lockScreen = 0;
    int32_t debug = 0;
    std::string logFile;
    int32_t secMsg = 1;
    int32_t forcedModifyPin = 1;
    int32_t maxContainerCount = 5;
    int32_t isDezoRivov = 0;
    int32_t serialNumberLen = 1;
    int32_t eraseMF = 1;
    std::string defaultLabel = "QXUSBKey";
    // [DeviceInfo]
    int32_t supportDevType = 1;
    std::string qxFilterWords;
    std::string hidFilterWords;
    std::string umsFilterWords;
    std::string ccidFilterWords;
    std::string virtualReaderWords;
    std::string supportHidCosVers;
    std::string supportUmsCosVers;
    std::string supportCcidCosVers;
    // [PIN]
    int32_t retryTimes = 10;
    int32_t soRetryTimes = 15;
    std::string defaultPin = "314159";
    std::string defaultSoPin = "27182818";
    int32_t cachePin = 1;
    int32_t maxPinLen = 8;
    int32_t minPinLen = 6;
    int32_t requireDigit = 1;
    int32_t requireAlphabetic = 1;
    int32_t requireSpecial = 1;
    int32_t pinOperateWaitTime = 15;
    // [InitKeypairsNum], in the order of the section (slots are numbered in this order).
    std::vector<KeyPairRange> keyPairRanges;

    // Whether the GET RESPONSE length correction is on (bit of value 16 of SupportDevType).
    bool getResponseCorrection() const { return (static_cast<uint32_t>(supportDevType) & 16u) != 0; }
};

// The symmetric algorithm identifier chosen by SKAlg.
uint32_t sk_algorithm(int32_t skAlg);

// Fills every value from a loaded reader (missing keys take the defaults).
KernelConfig read_kernel_config(const CU8Ini& ini);

// Loads `path` and reads it; a file that cannot be loaded leaves every default.
// `status` (optional) receives the reader's status.
KernelConfig load_kernel_config(const std::string& path, const std::string& softAlgDirectory,
                                uint32_t* status = nullptr);

}  // namespace qx::kernel
