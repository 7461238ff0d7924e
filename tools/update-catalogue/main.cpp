// update-catalogue: the publisher's tool for the updater's catalogue. See tool.h.
#include <exception>
#include <iostream>
#include <string>
#include <vector>

#include "tools/update-catalogue/tool.h"

#ifdef _WIN32
#include "platform/win32.h"
#endif

int main(int argc, char** argv) {
#ifdef _WIN32
    // Output is UTF-8; a console shows it as such only when told.
    DWORD mode;
    if (GetConsoleMode(GetStdHandle(STD_OUTPUT_HANDLE), &mode)) SetConsoleOutputCP(CP_UTF8);
#endif
    std::vector<std::string> args(argv + 1, argv + argc);
    try {
        const int status = tarn::tool::RunTool(args, std::cout, std::cerr);
        std::cout.flush();
        if (!std::cout) {
            std::cerr << "update-catalogue: error: cannot write the output\n";
            return tarn::tool::kExitFailed;
        }
        return status;
    } catch (const std::exception& e) {
        std::cerr << "update-catalogue: internal error: " << e.what() << "\n";
        return tarn::tool::kExitFailed;
    }
}
