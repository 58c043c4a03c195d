#include "kernel_config.h"

#include "CU8Ini.h"
#include "QXSoftAlg.h"

namespace qx::kernel {

uint32_t sk_algorithm(int32_t skAlg) {
    switch (skAlg) {
        case 1: return 0x100;
        case 2: return 0x500;
        case 3: return 0x700;
        case 4: return 0x600;
        default: return 0x200;
    }
}

KernelConfig read_kernel_config(const CU8Ini& ini) {
    KernelConfig c;
    const char* s = "QXTokenInfo";
    c.cspName = ini.GetString(s, "CSPName", kNameBufferSize, kDefaultProviderName);
    c.productName = ini.GetString(s, "ProductName", kNameBufferSize, c.productName.c_str());
    c.productVersion = ini.GetString(s, "ProductVersion", kNameBufferSize, c.productVersion.c_str());
    c.skAlg = ini.GetInteger(s, "SKAlg", c.skAlg);
    c.tranSignWaitTime = ini.GetInteger(s, "TranSignWaitTime", c.tranSignWaitTime);
    c.tranHashMeth = ini.GetInteger(s, "TranHashMeth", c.tranHashMeth);
    c.lockScreen = ini.GetInteger(s, "LockScreen", c.lockScreen);
    c.debug = ini.GetInteger(s, "Debug", c.debug);
    c.logFile = ini.GetString(s, "LogFile", kNameBufferSize, "");
    c.secMsg = ini.GetInteger(s, "SecMsg", c.secMsg);
    c.forcedModifyPin = ini.GetInteger(s, "ForcedModifyPIN", c.forcedModifyPin);
    c.maxContainerCount = ini.GetInteger(s, "MaxContainerCount", c.maxContainerCount);
    c.isDezoRivov = ini.GetInteger(s, "IsDEZORivov", c.isDezoRivov);
    c.serialNumberLen = ini.GetInteger(s, "SerialNumberLen", c.serialNumberLen);
    c.eraseMF = ini.GetInteger(s, "EraseMF", c.eraseMF);
    c.defaultLabel = ini.GetString(s, "DefaultLabel", kNameBufferSize, c.defaultLabel.c_str());

    const char* d = "DeviceInfo";
    c.supportDevType = ini.GetInteger(d, "SupportDevType", c.supportDevType);
    c.qxFilterWords = ini.GetString(d, "QXFilterWords", kWordListBufferSize, "");
    c.hidFilterWords = ini.GetString(d, "HIDFilterWords", kWordListBufferSize, "");
    c.umsFilterWords = ini.GetString(d, "UMSFilterWords", kWordListBufferSize, "");
    c.ccidFilterWords = ini.GetString(d, "CCIDFilterWords", kWordListBufferSize, "");
    c.virtualReaderWords = ini.GetString(d, "VirtualReaderWords", kWordListBufferSize, "");
    c.supportHidCosVers = ini.GetString(d, "SupportHIDCOSVers", kWordListBufferSize, "");
    c.supportUmsCosVers = ini.GetString(d, "SupportUMSCOSVers", kWordListBufferSize, "");
    c.supportCcidCosVers = ini.GetString(d, "SupportCCIDCOSVers", kWordListBufferSize, "");

    const char* p = "PIN";
    c.retryTimes = ini.GetInteger(p, "RetryTimes", c.retryTimes);
    c.soRetryTimes = ini.GetInteger(p, "SoRetryTimes", c.soRetryTimes);
    c.defaultPin = ini.GetString(p, "DefaultPIN", kNameBufferSize, c.defaultPin.c_str());
    c.defaultSoPin = ini.GetString(p, "DefaultSOPIN", kNameBufferSize, c.defaultSoPin.c_str());
    c.cachePin = ini.GetInteger(p, "CachePIN", c.cachePin);
    c.maxPinLen = ini.GetInteger(p, "MaxPinLen", c.maxPinLen);
    c.minPinLen = ini.GetInteger(p, "MinPinLen", c.minPinLen);
    c.requireDigit = ini.GetInteger(p, "RequireDigit", c.requireDigit);
    c.requireAlphabetic = ini.GetInteger(p, "RequireAlphabetic", c.requireAlphabetic);
    c.requireSpecial = ini.GetInteger(p, "RequireSpecial", c.requireSpecial);
    c.pinOperateWaitTime = ini.GetInteger(p, "PINOperateWaitTime", c.pinOperateWaitTime);

    // The key names go through the same 1024-byte list the slot table has
    // always been built from; a section whose names do not fit yields no slots.
    const char* k = "InitKeypairsNum";
    char names[kWordListBufferSize];
    if (ini.GetSectionKeys(k, names, sizeof names) == 0) {
        for (const char* name = names; *name; name += std::char_traits<char>::length(name) + 1) {
            c.keyPairRanges.push_back({name, ini.GetInteger(k, name, 0)});
        }
    }
    return c;
}

KernelConfig load_kernel_config(const std::string& path, const std::string& softAlgDirectory, uint32_t* status) {
    CU8Ini ini;
    uint32_t rc = ini.LoadFile(path, softAlgDirectory);
    if (status) *status = rc;
    if (rc != 0) return KernelConfig{};
    return read_kernel_config(ini);
}

}  // namespace qx::kernel
