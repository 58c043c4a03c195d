// The driver installer: finds the first hardware identifier the driver
// package's "usbccid.inf" lists, creates a root device with it, installs the
// driver for it, removes the device again and reports the outcome in one line.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "setup_api.h"

namespace qx::ccid {

// "The end of the list was reached without a match" (the system's "no more data").
inline constexpr uint32_t kNoMoreItems = 259;
// The longest line the installer prints, line ending included.
inline constexpr size_t kMaxLineLength = 511;

inline constexpr const char kInfFileName[] = "usbccid.inf";
inline constexpr const char kSuccessLine[] = "Install Success!\n";

// The name of a setup error code (the first one listed for it); null when
// the code has none.
const char* setup_error_name(uint32_t code);

// "Error ... in <step>..." for a failed step, one line of at most
// kMaxLineLength characters ending in "\n".
std::string error_line(SetupApi& api, std::string_view step, uint32_t code);

// The device the installer creates: its hardware identifier and the
// description of the INF line that lists it.
struct FoundDevice {
    std::string hardware_id;
    std::string description;
};

// Walks the models section named by the first "Manufacturer" line and takes
// the first identifier equal to `wanted` (any identifier when it is empty).
// 0, kNoMoreItems when the section has no such identifier, or the system's
// code for a section or field that cannot be read.
uint32_t search_device(SetupApi& api, InfHandle inf, std::string_view wanted, FoundDevice& found);

// The INF path for the program file `program`: its directory and "usbccid.inf".
std::string inf_path_for(std::string_view program);

// The whole installation.  `output` receives the line to print; the result is
// the program's exit status (0 or -1).
int run_installer(SetupApi& api, std::string& output);
// The same for a program file `program` named by the caller.
int install_beside(SetupApi& api, const std::string& program, std::string& output);

}  // namespace qx::ccid
