#include <exception>
#include <iostream>

#include "device/store/token_store.h"
#include "tools/qxvtoken/commands.h"

int main(int argc, char** argv) {
    try {
        std::vector<std::string> args(argv + 1, argv + argc);
        return qx::vtoken::tool::run(args, qx::vtoken::default_store_directory(), std::cout, std::cerr);
    } catch (const std::exception& e) {
        std::cerr << "qxvtoken: " << e.what() << "\n";
        return qx::vtoken::tool::kExitFailed;
    }
}
