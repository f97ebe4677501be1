#include "PipeName.h"

#include "Sha256.h"

#include <cstdint>
#include <cwchar>

namespace win32layer {

namespace {

const wchar_t kPrefix[] = L"\\\\.\\pipe\\";
constexpr size_t kPrefixLength = sizeof(kPrefix) / sizeof(kPrefix[0]) - 1;
// Domain separation, so the digest of a pipe name is never the digest of anything else we hash.
const char kHashContext[] = "win32layer pipe name\n";

wchar_t foldAscii(wchar_t c) { return (c >= L'A' && c <= L'Z') ? static_cast<wchar_t>(c - L'A' + L'a') : c; }

}  // namespace

DWORD PipeName::parse(const wchar_t* fullName, PipeName* out)
{
    if (fullName == nullptr)
        return ERROR_PATH_NOT_FOUND;
    const size_t length = std::wcslen(fullName);
    if (length > kMaxLength)
        return ERROR_FILENAME_EXCED_RANGE;
    // Windows turns '/' into '\' in \\.\ paths before looking at them.
    std::wstring text(fullName, length);
    for (wchar_t& c : text) {
        if (c == L'/')
            c = L'\\';
    }
    // "\\.\" and its verbatim form "\\?\" name devices; anything but the pipe device there is a path
    // that does not exist, anything else is not a pipe name at all.
    const bool devicePath = text.size() >= 4 && text[0] == L'\\' && text[1] == L'\\' &&
                            (text[2] == L'.' || text[2] == L'?') && text[3] == L'\\';
    if (!devicePath)
        return ERROR_INVALID_NAME;
    for (size_t i = 4; i < kPrefixLength; ++i) {
        if (i >= text.size() || foldAscii(text[i]) != kPrefix[i])
            return ERROR_PATH_NOT_FOUND;
    }
    if (text.size() == kPrefixLength)
        return ERROR_INVALID_NAME;

    PipeName name;
    name.folded_.reserve(text.size() - kPrefixLength);
    for (size_t i = kPrefixLength; i < text.size(); ++i)
        name.folded_.push_back(foldAscii(text[i]));

    // Hash the characters as 32-bit little-endian code units, independent of sizeof(wchar_t).
    Sha256 hash;
    hash.update(kHashContext, sizeof(kHashContext) - 1);
    for (wchar_t c : name.folded_) {
        const uint32_t unit = static_cast<uint32_t>(c);
        const uint8_t bytes[4] = {static_cast<uint8_t>(unit), static_cast<uint8_t>(unit >> 8),
                                  static_cast<uint8_t>(unit >> 16), static_cast<uint8_t>(unit >> 24)};
        hash.update(bytes, sizeof bytes);
    }
    const Sha256::Digest digest = hash.finish();
    static const char kHex[] = "0123456789abcdef";
    for (size_t i = 0; i < 16; ++i) {
        name.stem_.push_back(kHex[digest[i] >> 4]);
        name.stem_.push_back(kHex[digest[i] & 0xF]);
    }
    *out = std::move(name);
    return ERROR_SUCCESS;
}

}  // namespace win32layer
