// Pipe names to socket file stems, and the hash underneath.

#include "PipeName.h"
#include "Sha256.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

using win32layer::PipeName;
using win32layer::Sha256;

namespace {

std::string hex(const Sha256::Digest& digest)
{
    char text[2 * sizeof digest + 1];
    for (size_t i = 0; i < sizeof digest; ++i)
        std::snprintf(text + 2 * i, 3, "%02x", digest[i]);
    return text;
}

struct HashVector {
    std::string input;
    const char* digest;
};

class Sha256Vectors : public ::testing::TestWithParam<HashVector> {};

// In one piece, and in pieces that straddle the 64-byte blocks.
TEST_P(Sha256Vectors, MatchesTheStandardTestVectors)
{
    const std::string& input = GetParam().input;
    EXPECT_EQ(hex(Sha256::of(input.data(), input.size())), GetParam().digest);
    Sha256 pieces;
    for (size_t i = 0; i < input.size(); i += 7)
        pieces.update(input.data() + i, std::min<size_t>(7, input.size() - i));
    EXPECT_EQ(hex(pieces.finish()), GetParam().digest);
}

INSTANTIATE_TEST_SUITE_P(
    Fips180, Sha256Vectors,
    ::testing::Values(
        HashVector{"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
        HashVector{"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
        HashVector{"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
                   "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
        HashVector{std::string(1000000, 'a'), "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"}));

PipeName parsed(const std::wstring& text)
{
    PipeName name;
    EXPECT_EQ(PipeName::parse(text.c_str(), &name), static_cast<DWORD>(ERROR_SUCCESS));
    return name;
}

TEST(PipeName, RejectsWhatWindowsRejects)
{
    PipeName name;
    for (const wchar_t* text : {L"not a named pipe", L"\\\\.\\pipe\\", L"pipe\\name"})
        EXPECT_EQ(PipeName::parse(text, &name), static_cast<DWORD>(ERROR_INVALID_NAME)) << text;
    for (const wchar_t* text : {static_cast<const wchar_t*>(nullptr), L"\\\\.\\pipx\\name", L"\\\\.\\pipe"})
        EXPECT_EQ(PipeName::parse(text, &name), static_cast<DWORD>(ERROR_PATH_NOT_FOUND)) << text;
    // At most 256 characters, prefix included.
    std::wstring longest = L"\\\\.\\pipe\\";
    longest.resize(256, L'n');
    parsed(longest);
    EXPECT_EQ(PipeName::parse((longest + L"n").c_str(), &name), static_cast<DWORD>(ERROR_FILENAME_EXCED_RANGE));
}

struct Spellings {
    const wchar_t* a;
    const wchar_t* b;
    bool sameName;
};

class PipeNameSpellings : public ::testing::TestWithParam<Spellings> {};

TEST_P(PipeNameSpellings, ShareAStemExactlyWhenWindowsSeesOneName)
{
    const bool sameStem = parsed(GetParam().a).fileStem() == parsed(GetParam().b).fileStem();
    EXPECT_EQ(sameStem, GetParam().sameName);
}

INSTANTIATE_TEST_SUITE_P(PipeName, PipeNameSpellings,
                         ::testing::Values(Spellings{L"\\\\.\\pipe\\azpipe_42", L"\\\\.\\PIPE\\AZPipe_42", true},
                                           Spellings{L"\\\\.\\pipe\\a\\b", L"//./pipe/a/b", true},
                                           Spellings{L"\\\\.\\pipe\\a\\b", L"\\\\?\\PIPE\\A\\B", true},
                                           Spellings{L"\\\\.\\pipe\\a\\b", L"\\\\.\\pipe\\a\\b\\", false},
                                           Spellings{L"\\\\.\\pipe\\a\\b", L"\\\\.\\pipe\\a\\c", false},
                                           // Letters fold in the ASCII range A-Z only.
                                           Spellings{L"\\\\.\\pipe\\@", L"\\\\.\\pipe\\`", false},
                                           Spellings{L"\\\\.\\pipe\\[", L"\\\\.\\pipe\\{", false},
                                           Spellings{L"\\\\.\\pipe\\\u00e9", L"\\\\.\\pipe\\\u00c9", false}));

TEST(PipeName, StemIsStableAcrossBuilds)
{
    // Processes built from different versions must agree on where a pipe lives: changing the
    // mapping is a protocol change.
    EXPECT_EQ(parsed(L"\\\\.\\pipe\\writepipe_1234").fileStem(), "55ee6d6e48172c1549d54f1b9e5df36f");
}

}  // namespace
