// qxtoken: a person's command line over the token kernel.
#pragma once

#include <functional>
#include <ostream>
#include <string>
#include <vector>

#include "kernel_api.h"

namespace qx::qxtoken {

// Where the program talks: normal output, messages, and the secret prompt
// (a PIN read without echo; false at the end of input).
struct Io {
    std::ostream& out;
    std::ostream& err;
    std::function<bool(const std::string& prompt, std::string& secret)> askSecret;
};

// The symbolic name of a kernel status, "ERR_PIN_INCORRECT (0x6015)".
std::string describe_status(uint32_t status);

// Runs one command line (without the program name).  Exit codes: 0 done,
// 1 the operation failed, 2 bad command line.
int run(const std::vector<std::string>& args, KernelApi& kernel, Io& io);

// The usage text.
extern const char kUsage[];

// How a command in a file of its own reports: a bad command line (exit 2,
// with the usage) or a failed operation (exit 1).
struct UsageError {
    std::string message;
};
struct Failure {
    std::string message;
};

// `container list|create|delete`: `words` are the arguments after "container";
// `open` opens the chosen token (closed when the command returns).
int command_container(KernelApi& kernel, Io& io, std::vector<std::string> words,
                      const std::function<DeviceHandle()>& open);

// `random`, `digest`, `encrypt` and `decrypt`: `words` are the arguments after
// the command; `open` opens the chosen token (only when one is needed).
int command_crypto(KernelApi& kernel, Io& io, const std::string& command, std::vector<std::string> words,
                   const std::function<DeviceHandle()>& open);

// `keys generate|list`, `pubkey export`, `sign` and `verify`: `words` are the
// arguments after the command; `open` opens the chosen token.
int command_keys(KernelApi& kernel, Io& io, const std::string& command, std::vector<std::string> words,
                 const std::function<DeviceHandle()>& open);

// `transaction sign`: `words` are the arguments after "transaction".
int command_transaction(KernelApi& kernel, Io& io, std::vector<std::string> words,
                        const std::function<DeviceHandle()>& open);

// `cert list|read|write|delete|register|unregister` and `cert install-ca`:
// `words` are the arguments after "cert"; `open` opens the chosen token.
int command_cert(KernelApi& kernel, Io& io, std::vector<std::string> words,
                 const std::function<DeviceHandle()>& open);

}  // namespace qx::qxtoken
