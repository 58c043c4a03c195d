// Dialog-driven operations on a whole token: choosing one of the plugged-in
// tokens, renaming a token, showing its identity, initialising it and
// generating a key pair behind a progress dialog.  All work through frame().
#pragma once

#include <cstdint>

#include "QXUI.h"
#include "frame.h"

namespace qx::uiext {

// The selection list holds at most this many tokens.
constexpr uint32_t kMaxSelectableDevices = 5;
// A label the rename dialog sets: at most 16 characters (32 bytes).
constexpr std::size_t kMaxRenameUnits = 16;
// An initialisation label: at most 16 characters, the size of the label
// field of the token's record (32 bytes).
constexpr std::size_t kMaxInitLabelUnits = 16;
// A label whose last character is a space.
constexpr uint32_t kLabelEndsInSpace = 21;

// The dialog call-backs (exposed for the tests).
uint32_t QXUI_CALL DevNameCallback(DeviceHandle device, QXUI_CHAR* label, uint32_t set);
uint32_t QXUI_CALL DevInfoCallback(DeviceHandle device, QXUI_CHAR* label, QXUI_CHAR* serial, QXUI_CHAR* firmware,
                                   QXUI_CHAR* hardware);
uint32_t QXUI_CALL InitTokenCallback(DeviceHandle device, QXUI_CHAR* userPin, QXUI_CHAR* soPin, QXUI_CHAR* label,
                                     QXUI_CHAR* message, uint32_t skipRules);
uint32_t QXUI_CALL GenKeyPairCallback(DeviceHandle device, uint32_t algorithm, uint32_t keyBits, uint32_t keySpec,
                                      uint32_t flags, KeyHandle* key);

// A version text: each byte in decimal, joined by points ("1.2.3", "10.0.3").
Text VersionText(uint8_t a, uint8_t b, uint8_t c);

uint32_t SelectDevice(DeviceHandle* handles, uint32_t count, DeviceHandle* chosen);
uint32_t ChangeDevName(DeviceHandle device, QXUI_CHAR* label);
uint32_t ShowDevInfo(DeviceHandle device);
uint32_t InitToken(DeviceHandle device, QXUI_CHAR* label);
uint32_t GenKeyPair(DeviceHandle device, uint32_t algorithm, uint32_t keyBits, uint32_t keySpec, uint32_t flags,
                    KeyHandle* key);

}  // namespace qx::uiext
