#include "foundation/localised_text.h"

#include <windows.h>

#include <vector>

std::wstring LoadLocalisedText(unsigned id) {
    HMODULE module = GetModuleHandleW(nullptr);
    std::vector<wchar_t> buffer(256);
    for (;;) {
        int length = LoadStringW(module, id, buffer.data(), static_cast<int>(buffer.size()));
        if (length <= 0) return {};
        // A text that fills the buffer may have been cut: grow and load again.
        if (static_cast<std::size_t>(length) + 2 <= buffer.size()) return std::wstring(buffer.data(), length);
        buffer.resize(buffer.size() + 256);
    }
}
