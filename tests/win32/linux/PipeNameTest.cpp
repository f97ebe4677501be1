// Pipe names to socket file stems, and the hash underneath.

#include "PipeName.h"
#include "Sha256.h"

#include <gtest/gtest.h>

#include <string>

using win32layer::PipeName;
using win32layer::Sha256;

namespace {

std::string hex(const Sha256::Digest& digest)
{
    static const char kHex[] = "0123456789abcdef";
    std::string text;
    for (uint8_t byte : digest) {
        text.push_back(kHex[byte >> 4]);
        text.push_back(kHex[byte & 0xF]);
    }
    return text;
}

struct HashVector {
    std::string input;
    const char* digest;
};

class Sha256Vectors : public ::testing::TestWithParam<HashVector> {};

TEST_P(Sha256Vectors, MatchesTheStandardTestVectors)
{
    EXPECT_EQ(hex(Sha256::of(GetParam().input.data(), GetParam().input.size())), GetParam().digest);
}

INSTANTIATE_TEST_SUITE_P(
    Fips180, Sha256Vectors,
    ::testing::Values(
        HashVector{"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
        HashVector{"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
        HashVector{"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
                   "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
        HashVector{std::string(1000000, 'a'), "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"}));

TEST(Sha256, SplitUpdatesEqualOneUpdate)
{
    const std::string text(200, 'q');
    Sha256 pieces;
    for (size_t i = 0; i < text.size(); i += 7)
        pieces.update(text.data() + i, std::min<size_t>(7, text.size() - i));
    EXPECT_EQ(pieces.finish(), Sha256::of(text.data(), text.size()));
}

DWORD parse(const wchar_t* text, PipeName* name = nullptr)
{
    PipeName ignored;
    return PipeName::parse(text, name != nullptr ? name : &ignored);
}

TEST(PipeName, RejectsWhatWindowsRejects)
{
    EXPECT_EQ(parse(nullptr), static_cast<DWORD>(ERROR_PATH_NOT_FOUND));
    EXPECT_EQ(parse(L"not a named pipe"), static_cast<DWORD>(ERROR_INVALID_NAME));
    EXPECT_EQ(parse(L"\\\\.\\pipe\\"), static_cast<DWORD>(ERROR_INVALID_NAME));
    EXPECT_EQ(parse(L"pipe\\name"), static_cast<DWORD>(ERROR_INVALID_NAME));
    EXPECT_EQ(parse(L"\\\\.\\pipx\\name"), static_cast<DWORD>(ERROR_PATH_NOT_FOUND));
    EXPECT_EQ(parse(L"\\\\.\\pipe"), static_cast<DWORD>(ERROR_PATH_NOT_FOUND));
    std::wstring longest = L"\\\\.\\pipe\\";
    longest.resize(PipeName::kMaxLength, L'n');
    EXPECT_EQ(parse(longest.c_str()), static_cast<DWORD>(ERROR_SUCCESS));
    longest.push_back(L'n');
    EXPECT_EQ(parse(longest.c_str()), static_cast<DWORD>(ERROR_FILENAME_EXCED_RANGE));
}

TEST(PipeName, LetterCaseDoesNotMatterAnywhere)
{
    PipeName lower, upper;
    ASSERT_EQ(parse(L"\\\\.\\pipe\\readpipe_42", &lower), static_cast<DWORD>(ERROR_SUCCESS));
    ASSERT_EQ(parse(L"\\\\.\\PIPE\\ReadPipe_42", &upper), static_cast<DWORD>(ERROR_SUCCESS));
    EXPECT_EQ(lower.fileStem(), upper.fileStem());
    EXPECT_EQ(lower.foldedName(), L"readpipe_42");
}

TEST(PipeName, DifferentNamesGetDifferentStems)
{
    PipeName a, b, c;
    parse(L"\\\\.\\pipe\\a\\b", &a);
    parse(L"\\\\.\\pipe\\a\\b\\", &b);
    parse(L"\\\\.\\pipe\\a\\c", &c);
    EXPECT_NE(a.fileStem(), b.fileStem());
    EXPECT_NE(a.fileStem(), c.fileStem());
}

TEST(PipeName, SpellingsWindowsTreatsAsOneNameShareAStem)
{
    PipeName plain, slashes, verbatim;
    parse(L"\\\\.\\pipe\\a\\b", &plain);
    parse(L"//./pipe/a/b", &slashes);
    parse(L"\\\\?\\PIPE\\A\\B", &verbatim);
    EXPECT_EQ(plain.fileStem(), slashes.fileStem());
    EXPECT_EQ(plain.fileStem(), verbatim.fileStem());
}

TEST(PipeName, StemIsShortHexAndStableAcrossBuilds)
{
    PipeName name;
    ASSERT_EQ(parse(L"\\\\.\\pipe\\writepipe_1234", &name), static_cast<DWORD>(ERROR_SUCCESS));
    EXPECT_EQ(name.fileStem().size(), 32u);
    EXPECT_EQ(name.fileStem().find_first_not_of("0123456789abcdef"), std::string::npos);
    // Processes built from different versions must agree on where a pipe lives: changing the
    // mapping is a protocol change.
    EXPECT_EQ(name.fileStem(), "55ee6d6e48172c1549d54f1b9e5df36f");
}

TEST(PipeName, NonAsciiCharactersAreKeptAsTheyAre)
{
    PipeName a, b;
    parse(L"\\\\.\\pipe\\\u00e9t\u00e9", &a);
    parse(L"\\\\.\\pipe\\\u00c9T\u00c9", &b);
    EXPECT_NE(a.fileStem(), b.fileStem());
    EXPECT_EQ(a.foldedName(), L"\u00e9t\u00e9");
}

}  // namespace
