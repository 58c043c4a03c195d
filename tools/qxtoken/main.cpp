// qxtoken: initialise a token, manage its PINs and show its information.
#include <iostream>
#include <string>
#include <vector>

#include "cli.h"
#include "qx/platform/console.h"
#include "qx/platform/module.h"

int main(int argc, char** argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    // The kernel beside the program, as an installation has it.
    qx::qxtoken::KernelApi kernel(qx::platform::directory_of(qx::platform::executable_path()));
    qx::qxtoken::Io io{std::cout, std::cerr, [](const std::string& prompt, std::string& secret) {
                           return qx::platform::read_secret_line(prompt, secret);
                       }};
    return qx::qxtoken::run(args, kernel, io);
}
