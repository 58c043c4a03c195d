// Shared by the OS-specific implementations of legal_object_name.
#pragma once

#include <string>
#include <string_view>

namespace qx::platform::detail {

// Prefix + the name with every character that `legal` refuses written as %XX;
// results over 200 characters are cut and end with a hash of the whole name.
std::string escape_name(std::string_view name, std::string_view prefix, bool (*legal)(char));

}  // namespace qx::platform::detail
