// The C interface of Windows names: the library's own conversions, so a
// front end names files as the library does.
#include <string>

#include "sonx/fileio/file_names_windows.h"
#include "sonx/sonx_c.h"

namespace {

template <typename Text, typename Unit>
size_t copied(const Text& text, Unit* buffer, size_t capacity) {
    if (buffer && capacity) {
        const size_t kept = text.size() < capacity - 1 ? text.size() : capacity - 1;
        text.copy(buffer, kept);
        buffer[kept] = Unit{};
    }
    return text.size();
}

}  // namespace

size_t sonx_utf8_from_wide(const wchar_t* text, char* utf8, size_t capacity) {
    try {
        return copied(sonx::file_names::utf8FromWide(text ? text : L""), utf8, capacity);
    } catch (...) {
        return copied(std::string(), utf8, capacity);
    }
}

size_t sonx_system_name(const char* name, wchar_t* wide, size_t capacity) {
    try {
        return copied(sonx::file_names::systemName(name ? name : ""), wide, capacity);
    } catch (...) {
        return copied(std::wstring(), wide, capacity);
    }
}

int sonx_is_reserved_name(const char* name) { return name && sonx::file_names::isReservedName(name) ? 1 : 0; }
