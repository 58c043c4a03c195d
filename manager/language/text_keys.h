// Every [TEXT] key the manager tool and the UI extension look up, with the
// one conversion a formatted text must hold.  The language files must carry
// each of them; a test checks that every shipped file does.
#pragma once

#include <initializer_list>

#include "language.h"

namespace qx::language {

struct TextKey {
    const char* key;
    FormatKind format;
};

inline constexpr TextKey kTextKeys[] = {
    // device monitoring and status line
    {"ConnectDevSuccess", FormatKind::none},
    {"ConnectDevError", FormatKind::none},
    {"Enum_EnumDevError", FormatKind::none},
    {"Enum_NotFoundDev", FormatKind::none},
    {"Enum_GetDevNameError", FormatKind::none},
    {"DevInsert", FormatKind::none},
    {"DevRemove", FormatKind::none},
    // main dialog, tray and results
    {"SetPin", FormatKind::none},
    {"ChangePin", FormatKind::none},
    {"ButtonText_Notify_Exit", FormatKind::none},
    {"ProductName", FormatKind::none},
    {"Success", FormatKind::none},
    {"Failed", FormatKind::none},
    {"SelectCert", FormatKind::none},
    {"Cert_Exist", FormatKind::none},
    {"DeleteCert", FormatKind::text},
    // system check report
    {"System_Check", FormatKind::none},
    {"UKeyState", FormatKind::none},
    {"OS_Version", FormatKind::none},
    {"IE_Version", FormatKind::none},
    {"IE_Key_Bit", FormatKind::none},
    {"UKey_Connect", FormatKind::none},
    {"UKey_SN", FormatKind::none},
    {"UKey_Auth", FormatKind::none},
    {"UKey_Pin_IsLocked", FormatKind::none},
    {"UKey_UserCert", FormatKind::none},
    {"Root_Cert", FormatKind::none},
    {"Connect", FormatKind::none},
    {"DisConnect", FormatKind::none},
    {"ExtendAuth", FormatKind::none},
    {"UnExtendAuth", FormatKind::none},
    {"PinUnlock", FormatKind::none},
    {"PinLocked", FormatKind::none},
    {"CertRegist", FormatKind::none},
    {"CertUnRegist", FormatKind::none},
    {"NoCert", FormatKind::none},
    // PIN rules and PIN dialogs
    {"CheckPinRegual_PinLenError", FormatKind::none},
    {"CheckPinRegual_RequireDigit", FormatKind::none},
    {"CheckPinRegual_NotRequireDigit", FormatKind::none},
    {"CheckPinRegual_RequireAlpha", FormatKind::none},
    {"CheckPinRegual_NotRequireAlpha", FormatKind::none},
    {"CheckPinRegual_RequireSpecial", FormatKind::none},
    {"CheckPinRegual_NotRequireSpecial", FormatKind::none},
    {"CheckPinRegual_RequireComplex", FormatKind::none},
    {"ConfigFile_ReadError", FormatKind::none},
    {"CharacterChangeError", FormatKind::none},
    {"Pin_Limit_Len", FormatKind::none},
    {"VerifyPin_Failed", FormatKind::none},
    {"VerifyPin_NeedChange", FormatKind::none},
    {"Pin_Locked", FormatKind::none},
    {"RetryPin_Last", FormatKind::none},
    {"RetryPin_Left_Num", FormatKind::number},
    {"ChangePin_NewPin_NewPinRepeat_Error", FormatKind::none},
    {"ChangePin_Default", FormatKind::none},
    {"ChangePin_Failed", FormatKind::none},
    {"SetPin_Failed", FormatKind::none},
    {"UnlockPin_Failed", FormatKind::none},
    // device and token dialogs, certificate import
    {"DevLabel_Invalid", FormatKind::none},
    {"InitKey_Failed", FormatKind::none},
    {"InitKey_LabelEmpty", FormatKind::none},
    {"InitKey_LabelErr", FormatKind::none},
    {"OverRideContainer", FormatKind::text},
    {"SelectContainer", FormatKind::none},
};

// The dialog sections and the controls each must name.
struct DialogControls {
    int resourceId;
    std::initializer_list<int> controls;
};

inline const DialogControls kDialogControls[] = {
    {102, {1000, 1001, 1015, 1017, 1018, 1046}},
    {130, {1003, 1004, 1005, 1006, 1007, 1035, 1036, 1037, 1038, 1039, 1040}},
    {129, {1010, 1011, 1012, 1013, 1014, 1041, 1042, 1043, 1044, 1045, 1022, 1023, 1024, 1025, 1027, 1028, 1029}},
    {135, {1034, 1}},
    {131, {1019, 1020, 1021}},
};

}  // namespace qx::language
