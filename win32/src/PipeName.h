#pragma once

#include "win32layer/Win32Api.h"

#include <string>

namespace win32layer {

// A validated pipe name and the file stem its socket and lock file use.
//
// Windows compares pipe names without regard to case and allows any character but '\0' after the
// \\.\pipe\ prefix, in names of up to 256 characters; like Windows, '/' counts as '\' and the
// verbatim prefix \\?\pipe\ is accepted too. ('.' and '..' components, which Windows would also
// fold away, are kept as they are.) A Unix socket path holds about 108 bytes, so the name is
// case-folded and hashed (SHA-256, first 128 bits in hex): the stem is short, safe in a path, and
// two different names do not collide in practice. Letters are folded in the ASCII range only (A-Z);
// other characters must match exactly.
//
// A pure value class: no I/O, any thread.
class PipeName {
public:
    static constexpr size_t kMaxLength = 256;  // the whole name, prefix included

    // Parses a full name. Returns ERROR_SUCCESS; ERROR_PATH_NOT_FOUND for NULL or for a device path
    // other than the pipe device (\\.\pipes\x); ERROR_FILENAME_EXCED_RANGE for more than kMaxLength
    // characters; ERROR_INVALID_NAME for anything else that is not \\.\pipe\<name> (any letter case).
    static DWORD parse(const wchar_t* fullName, PipeName* out);

    // The name after the prefix, ASCII letters in lower case.
    const std::wstring& foldedName() const { return folded_; }
    // 32 lower-case hex digits.
    const std::string& fileStem() const { return stem_; }

private:
    std::wstring folded_;
    std::string stem_;
};

}  // namespace win32layer
