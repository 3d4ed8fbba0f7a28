// Test helper: shows the credentials dialog of one kind (0 website, 1 proxy) with no
// owner and prints how it was closed and what was entered.
#include <windows.h>

#include <cstdio>
#include <cstdlib>

#include "foundation/text.h"
#include "transfer/credentials.h"

int main(int argc, char** argv) {
    Credentials dialog(argc > 1 ? std::atoi(argv[1]) : 0);
    const INT_PTR result = dialog.DoModal(nullptr);
    std::printf("result=%d user=[%s] password=[%s]\n", static_cast<int>(result), WideToUtf8(dialog.UserName).c_str(),
                WideToUtf8(dialog.Password).c_str());
    return 0;
}
