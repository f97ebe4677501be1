// Peers that do not play by the rules, speaking to the layer through raw sockets: a client whose
// record claims far more than it sends and then vanishes, and "servers" that answer garbage.

#include "LayerSupport.h"

#include "WireFormat.h"

#include <cstring>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

using namespace w32layertest;
using win32layer::WireFormat;

namespace {

using HostilePeer = LayerTest;

TEST_F(HostilePeer, HugeClaimedLengthIsServedInReadSizedPiecesThenBreaksCleanly)
{
    const std::wstring name = uniqueName("huge");
    Handle server(createServer(name));
    ASSERT_TRUE(server.valid()) << GetLastError();
    // Connect by hand and take the handshake, keeping the control socket it carries.
    const int peer = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const sockaddr_un address = unixAddress(socketPathOf(name));
    ASSERT_EQ(::connect(peer, reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
    uint8_t answer[WireFormat::kHandshakeBytes] = {};
    iovec iov = {answer, sizeof answer};
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))] = {};
    msghdr message = {};
    message.msg_iov = &iov;
    message.msg_iovlen = 1;
    message.msg_control = control;
    message.msg_controllen = sizeof control;
    ASSERT_EQ(::recvmsg(peer, &message, MSG_WAITALL | MSG_CMSG_CLOEXEC), static_cast<ssize_t>(sizeof answer));
    ASSERT_EQ(answer[0], WireFormat::kAnswerConnected);
    int controlSocket = -1;
    ASSERT_NE(CMSG_FIRSTHDR(&message), nullptr);
    std::memcpy(&controlSocket, CMSG_DATA(CMSG_FIRSTHDR(&message)), sizeof controlSocket);

    const std::string bytes = header(0xFFFFFFF0u) + std::string(40, 'g');
    ASSERT_EQ(::send(peer, bytes.data(), bytes.size(), MSG_NOSIGNAL), static_cast<ssize_t>(bytes.size()));
    char buffer[16];
    // Reads 16 bytes, hanging up while the read may be pending if asked. Returns the read's error.
    auto read = [&](bool hangUp) {
        OVERLAPPED overlapped = {};
        DWORD bytes = 0;
        ReadFile(server.h, buffer, sizeof buffer, &bytes, &overlapped);
        if (hangUp) {
            ::close(peer);
            ::close(controlSocket);
        }
        return errorOf(GetOverlappedResult(server.h, &overlapped, &bytes, TRUE));
    };
    EXPECT_EQ(read(false), static_cast<DWORD>(ERROR_MORE_DATA));
    EXPECT_EQ(std::string(buffer, sizeof buffer), std::string(16, 'g'));
    EXPECT_EQ(read(false), static_cast<DWORD>(ERROR_MORE_DATA));
    EXPECT_EQ(read(true), static_cast<DWORD>(ERROR_BROKEN_PIPE));  // only 8 more bytes would ever come
}

// A socket at a pipe's path that is not a layer server: it accepts one client, sends `answer`
// (with two descriptors where the handshake carries one, if asked) and hangs up.
class FakeServer {
public:
    FakeServer(const std::string& path, const std::string& answer, bool passDescriptors)
    {
        listen_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        const sockaddr_un address = unixAddress(path);
        ::unlink(path.c_str());
        EXPECT_EQ(::bind(listen_, reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
        EXPECT_EQ(::listen(listen_, 4), 0);
        thread_ = std::thread([this, text = answer, passDescriptors]() mutable {
            const int client = ::accept(listen_, nullptr, nullptr);
            if (client < 0)
                return;
            iovec iov = {&text[0], text.size()};
            msghdr message = {};
            message.msg_iov = &iov;
            message.msg_iovlen = text.empty() ? 0 : 1;
            alignas(cmsghdr) char control[CMSG_SPACE(2 * sizeof(int))] = {};
            const int extra[2] = {listen_, listen_};
            if (passDescriptors) {
                message.msg_control = control;
                message.msg_controllen = sizeof control;
                cmsghdr* rights = CMSG_FIRSTHDR(&message);
                rights->cmsg_level = SOL_SOCKET;
                rights->cmsg_type = SCM_RIGHTS;
                rights->cmsg_len = CMSG_LEN(sizeof extra);
                std::memcpy(CMSG_DATA(rights), extra, sizeof extra);
            }
            if (!text.empty() || passDescriptors)
                ::sendmsg(client, &message, MSG_NOSIGNAL);
            ::close(client);
        });
    }
    ~FakeServer()
    {
        thread_.join();
        ::close(listen_);
    }

private:
    int listen_ = -1;
    std::thread thread_;
};

struct FakeAnswer {
    const char* label;
    std::string answer;
    bool passDescriptors;
    DWORD error;
};

class HostileServer : public LayerTest, public ::testing::WithParamInterface<FakeAnswer> {};

TEST_P(HostileServer, ClientGetsACleanError)
{
    const std::wstring name = uniqueName("fake");
    CloseHandle(createServer(name));  // makes the directory the layer's way
    FakeServer impostor(socketPathOf(name), GetParam().answer, GetParam().passDescriptors);
    EXPECT_EQ(errorOf(Handle(openClient(name)).valid()), GetParam().error);
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
