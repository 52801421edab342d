// The suite's first test, which every other one needs: it says in the log
// whether the helper runs natively or under its emulator, and, where the
// helper cannot be executed at all, says that once instead of in every test.

#include <cstdio>
#include <string>

#include "support.h"

int main() {
    const std::string failure = zelk::execution_failure();
    if (!failure.empty()) {
        std::fprintf(stderr, "%s\n", failure.c_str());
        return 1;
    }
    const std::string &emulator = zelk::emulator();
    std::printf("%s runs %s\n", zelk::helper_path().c_str(),
                emulator.empty() ? "natively" : ("under " + emulator).c_str());
    return 0;
}
