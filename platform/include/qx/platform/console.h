// The text console of a command-line program: reading a secret (a PIN) from
// standard input without showing it on the terminal.
#pragma once

#include <string>

namespace qx::platform {

// Whether standard input is an interactive terminal.
bool stdin_is_terminal();

// Writes `prompt` to standard error and reads one line from standard input,
// without echo when standard input is a terminal (the line ending is not
// kept).  False at the end of input.
bool read_secret_line(const std::string& prompt, std::string& line);

}  // namespace qx::platform
