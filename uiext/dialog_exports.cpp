// QXUIExtend: the exports of the device and token dialogs, the certificate
// import and the container override.  Until the initialisation has
// succeeded every export answers 0x6.
#include "QXUI.h"
#include "cert_import.h"
#include "device_dialogs.h"
#include "qx/platform/export.h"

using namespace qx::uiext;

QX_EXPORT uint32_t QXUIEx_SelectDevice(DeviceHandle* handles, uint32_t count, DeviceHandle* chosen) {
    return SelectDevice(handles, count, chosen);
}
QX_EXPORT uint32_t QXUIEx_ChangeDevName(DeviceHandle device, QXUI_CHAR* label) { return ChangeDevName(device, label); }
QX_EXPORT uint32_t QXUIEx_ShowDevInfo(DeviceHandle device) { return ShowDevInfo(device); }
QX_EXPORT uint32_t QXUIEx_InitToken(DeviceHandle device, QXUI_CHAR* label) { return InitToken(device, label); }
QX_EXPORT uint32_t QXUIEx_GenKeyPair(DeviceHandle device, uint32_t algorithm, uint32_t keyBits, uint32_t keySpec,
                                     uint32_t flags, KeyHandle* key) {
    return GenKeyPair(device, algorithm, keyBits, keySpec, flags, key);
}
QX_EXPORT uint32_t QXUIEx_OverRideContainer(DeviceHandle device, uint32_t deleteFlag) {
    return OverRideContainer(device, deleteFlag);
}
QX_EXPORT uint32_t QXUIEx_ImportCert(DeviceHandle device, const QXUI_CHAR* container, const PfxDataBlob* blob) {
    return ImportCert(device, container, blob);
}
