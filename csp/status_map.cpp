#include "status_map.h"

#include <iterator>

#include "QXTokenStatus.h"
#include "capi.h"

namespace qx::csp {

namespace {

// What the dialog library answers when the person closes a dialog.
constexpr uint32_t kDialogCancelled = 0x800704C7u;

constexpr std::pair<uint32_t, uint32_t> kTable[] = {
    {ERR_OK, 0},
    {ERR_FAILED, capi::kNteFail},
    {ERR_NO_MEMORY, capi::kNteNoMemory},
    {ERR_INVALID_HANDLE, capi::kScardRemovedCard},
    {ERR_BUFFER_TOO_SMALL, capi::kErrorMoreData},
    {ERR_LIBRARY_LOAD, capi::kNteProviderDllFail},
    {ERR_INVALID_PARAM, capi::kNteBadData},
    {ERR_NOT_FOUND, capi::kNteBadKeyset},
    {ERR_REMOTE_SESSION, capi::kNtePerm},
    {ERR_DEVICE_IO, capi::kScardRemovedCard},
    {ERR_NO_CONTAINER, capi::kNteBadKeyset},
    {ERR_KEY_NOT_IN_CONTAINER, capi::kNteNoKey},
    {ERR_CONTAINER_FULL, capi::kNteTokenKeysetStorageFull},
    {ERR_CONTAINER_NOT_FOUND, capi::kNteBadKeyset},
    {ERR_CONTAINER_EXISTS, capi::kNteExists},
    {ERR_KEY_COMMAND, capi::kNteFail},
    {ERR_IMPORT_PUBLIC_KEY, capi::kNteBadPublicKey},
    {ERR_IMPORT_PRIVATE_KEY, capi::kNteBadData},
    {ERR_EXPORT_PUBLIC_KEY, capi::kNteBadKey},
    {ERR_READ_CONTAINER_FILE, capi::kNteBadKeyset},
    {ERR_PIN_INCORRECT, capi::kScardWrongChv},
    {ERR_OLD_PIN_INCORRECT, capi::kScardWrongChv},
    {ERR_PIN_LOCKED, capi::kScardChvBlocked},
    {ERR_PIN_MUST_CHANGE, capi::kScardSecurityViolation},
    {ERR_NO_FREE_KEY_INDEX, capi::kNteTokenKeysetStorageFull},
    {ERR_SECURITY_STATUS, capi::kScardSecurityViolation},
    {ERR_TRANSACTION_PIN_INCORRECT, capi::kScardWrongChv},
    {ERR_SCARD_RESET_CARD, capi::kScardRemovedCard},
    {ERR_SCARD_SERVICE_STOPPED, capi::kScardRemovedCard},
    {ERR_SCARD_INVALID_HANDLE, capi::kScardRemovedCard},
    {kDialogCancelled, capi::kScardCancelledByUser},
    {ERR_COMMAND_FAILED, capi::kNteFail},
};

}  // namespace

uint32_t capi_error(uint32_t kernelStatus) {
    for (const auto& [from, to] : kTable)
        if (from == kernelStatus) return to;
    return capi::kNteFail;
}

const std::pair<uint32_t, uint32_t>* status_table(std::size_t* count) {
    *count = std::size(kTable);
    return kTable;
}

bool is_removal(uint32_t kernelStatus) {
    return kernelStatus == ERR_DEVICE_IO || kernelStatus == ERR_INVALID_HANDLE ||
           kernelStatus == ERR_SCARD_RESET_CARD || kernelStatus == ERR_SCARD_SERVICE_STOPPED ||
           kernelStatus == ERR_SCARD_INVALID_HANDLE;
}

}  // namespace qx::csp
