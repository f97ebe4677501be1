// Peers that do not play by the rules, speaking to the layer through raw sockets: bytes dripped
// one at a time, lengths far beyond what is sent, vanishing in the middle of a message, and a
// "server" that answers with garbage.

#include "LayerSupport.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <thread>
#include <unistd.h>

using namespace w32layertest;

namespace {

constexpr DWORD kLongWaitMs = 60000;

class HostilePeer : public ::testing::Test {
protected:
    TempRuntimeDir runtime_;

    void SetUp() override
    {
        name_ = uniqueName("hostile");
        server_ = CreateNamedPipeW(name_.c_str(), PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED,
                                   PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE, 1, 4096, 4096, 0, nullptr);
        ASSERT_NE(server_, INVALID_HANDLE_VALUE) << GetLastError();
        event_ = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        overlapped_.hEvent = event_;
    }
    void TearDown() override
    {
        CloseHandle(server_);
        CloseHandle(event_);
    }

    // Starts an overlapped read of `capacity` bytes on the server; it may complete at once.
    void startRead(DWORD capacity)
    {
        buffer_.assign(capacity, '\0');
        DWORD bytes = 0;
        if (!ReadFile(server_, &buffer_[0], capacity, &bytes, &overlapped_)) {
            const DWORD error = GetLastError();
            EXPECT_TRUE(error == ERROR_IO_PENDING || error == ERROR_MORE_DATA) << error;
        }
    }
    // Waits for it; returns the error (ERROR_SUCCESS) and the bytes.
    DWORD finishRead(std::string* data)
    {
        EXPECT_EQ(WaitForSingleObject(event_, kLongWaitMs), WAIT_OBJECT_0);
        DWORD bytes = 0;
        const DWORD error = GetOverlappedResult(server_, &overlapped_, &bytes, FALSE) ? ERROR_SUCCESS : GetLastError();
        *data = buffer_.substr(0, bytes);
        return error;
    }

    std::wstring name_;
    HANDLE server_ = nullptr;
    HANDLE event_ = nullptr;
    OVERLAPPED overlapped_ = {};
    std::string buffer_;
};

TEST_F(HostilePeer, MessageDrippedOneByteAtATimeArrivesWhole)
{
    RawClient peer(name_);
    ASSERT_TRUE(peer.connected());
    startRead(64);
    const std::string bytes = header(5) + "hello";
    for (size_t i = 0; i + 1 < bytes.size(); ++i) {
        peer.send(bytes.substr(i, 1));
        EXPECT_EQ(WaitForSingleObject(event_, 0), static_cast<DWORD>(WAIT_TIMEOUT)) << "after byte " << i;
    }
    peer.send(bytes.substr(bytes.size() - 1));
    std::string data;
    EXPECT_EQ(finishRead(&data), static_cast<DWORD>(ERROR_SUCCESS));
    EXPECT_EQ(data, "hello");
}

TEST_F(HostilePeer, HugeClaimedLengthIsServedInReadSizedPiecesThenBreaksCleanly)
{
    RawClient peer(name_);
    ASSERT_TRUE(peer.connected());
    peer.send(header(0xFFFFFFF0u) + std::string(40, 'g'));
    std::string data;
    startRead(16);
    EXPECT_EQ(finishRead(&data), static_cast<DWORD>(ERROR_MORE_DATA));
    EXPECT_EQ(data, std::string(16, 'g'));
    startRead(16);
    EXPECT_EQ(finishRead(&data), static_cast<DWORD>(ERROR_MORE_DATA));
    startRead(16);  // only 8 more bytes will ever come
    peer.close();
    EXPECT_EQ(finishRead(&data), static_cast<DWORD>(ERROR_BROKEN_PIPE));
}

TEST_F(HostilePeer, PeerVanishingMidMessageBreaksThePendingRead)
{
    RawClient peer(name_);
    ASSERT_TRUE(peer.connected());
    startRead(1000);
    peer.send(header(100) + std::string(50, 'v'));
    peer.close();
    std::string data;
    EXPECT_EQ(finishRead(&data), static_cast<DWORD>(ERROR_BROKEN_PIPE));
    OVERLAPPED connect = {};
    EXPECT_FALSE(ConnectNamedPipe(server_, &connect));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_DATA));
}

TEST_F(HostilePeer, SecondRawClientIsToldBusy)
{
    RawClient first(name_);
    ASSERT_TRUE(first.connected());
    RawClient second(name_);
    EXPECT_FALSE(second.connected());
}

// A socket at a pipe's path that is not a layer server.
class FakeServer {
public:
    FakeServer(const std::string& path, std::string answer, bool passDescriptor) : answer_(std::move(answer))
    {
        listen_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        struct sockaddr_un address = {};
        address.sun_family = AF_UNIX;
        std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
        ::unlink(path.c_str());
        EXPECT_EQ(::bind(listen_, reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
        EXPECT_EQ(::listen(listen_, 4), 0);
        thread_ = std::thread([this, passDescriptor] {
            const int client = ::accept(listen_, nullptr, nullptr);
            if (client < 0)
                return;
            struct iovec iov = {&answer_[0], answer_.size()};
            struct msghdr message = {};
            message.msg_iov = &iov;
            message.msg_iovlen = answer_.empty() ? 0 : 1;
            alignas(struct cmsghdr) char control[CMSG_SPACE(2 * sizeof(int))] = {};
            int extra[2] = {::open("/dev/null", O_RDONLY | O_CLOEXEC), ::open("/dev/null", O_RDONLY | O_CLOEXEC)};
            if (passDescriptor) {  // two descriptors where one is expected
                message.msg_control = control;
                message.msg_controllen = sizeof control;
                struct cmsghdr* header = CMSG_FIRSTHDR(&message);
                header->cmsg_level = SOL_SOCKET;
                header->cmsg_type = SCM_RIGHTS;
                header->cmsg_len = CMSG_LEN(sizeof extra);
                std::memcpy(CMSG_DATA(header), extra, sizeof extra);
            }
            if (!answer_.empty() || passDescriptor)
                ::sendmsg(client, &message, MSG_NOSIGNAL);
            ::close(extra[0]);
            ::close(extra[1]);
            ::close(client);
        });
    }
    ~FakeServer()
    {
        thread_.join();
        ::close(listen_);
    }

private:
    std::string answer_;
    int listen_ = -1;
    std::thread thread_;
};

struct FakeAnswer {
    const char* label;
    std::string answer;
    bool passDescriptors;
    DWORD expectedError;
};

class HostileServer : public ::testing::TestWithParam<FakeAnswer> {
protected:
    TempRuntimeDir runtime_;
};

TEST_P(HostileServer, ClientGetsACleanError)
{
    const std::wstring name = uniqueName("fake");
    // Create the directory the layer's way, then put an impostor at the pipe's path.
    HANDLE real = CreateNamedPipeW(name.c_str(), PIPE_ACCESS_DUPLEX, PIPE_TYPE_MESSAGE, 1, 0, 0, 0, nullptr);
    ASSERT_NE(real, INVALID_HANDLE_VALUE);
    const std::string path = socketPathOf(name);
    CloseHandle(real);
    FakeServer impostor(path, GetParam().answer, GetParam().passDescriptors);
    SetLastError(0);
    HANDLE client = CreateFileW(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    EXPECT_EQ(client, INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), GetParam().expectedError);
}

INSTANTIATE_TEST_SUITE_P(
    HostilePeer, HostileServer,
    ::testing::Values(FakeAnswer{"HangsUpSilently", "", false, ERROR_FILE_NOT_FOUND},
                      FakeAnswer{"AnswersGarbage", "XY", false, ERROR_BAD_PIPE},
                      FakeAnswer{"ConnectedWithoutControlSocket", "C\x01", false, ERROR_BAD_PIPE},
                      FakeAnswer{"ConnectedWithTooManyDescriptors", "C\x01", true, ERROR_BAD_PIPE},
                      FakeAnswer{"HalfAnAnswer", "C", false, ERROR_FILE_NOT_FOUND}),
    [](const ::testing::TestParamInfo<FakeAnswer>& info) { return std::string(info.param.label); });

}  // namespace
