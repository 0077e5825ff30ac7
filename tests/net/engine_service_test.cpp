// The engine service quarneld in the client namespace, with the reference server: its protocol
// against hostile and broken clients, who may use it and how many connections each may hold,
// who owns the session and what happens when the owner or the service itself dies. The
// unprivileged side is the command-line client run as nobody (group nogroup, the group the
// service is told to allow) or as a user outside it. Also the clients' side of a connection the
// service closed unread.
#include <grp.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <pwd.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "child_program.h"
#include "client_limits.h"
#include "netns.h"
#include "ref_server.h"
#include "service_connection.h"
#include "service_protocol.h"
#include "test_support.h"
#include "tun_data_path.h"
#include "tunnel_topology.h"

using namespace netns_test;
using namespace engine_service;
using namespace std::chrono_literals;
using test_support::wait_until;

namespace {

constexpr const char* TOKEN = "good-token";
constexpr const char* SETPRIV = "/usr/bin/setpriv";
constexpr gid_t NOGROUP = 65534;

// A directory nobody can reach, for the service's socket; the scratch directory is root's.
std::string reachable_dir() {
    const std::string scratch = scratch_dir();
    chmod(scratch.substr(0, scratch.rfind('/')).c_str(), 0711);
    chmod(scratch.c_str(), 0711);
    const std::string dir = scratch + "/service";
    mkdir(dir.c_str(), 0755);
    return dir;
}

std::vector<uint8_t> frame(const std::vector<uint8_t>& message) {
    std::vector<uint8_t> out(LENGTH_BYTES);
    for (size_t i = 0; i < LENGTH_BYTES; ++i) {
        out[i] = static_cast<uint8_t>(message.size() >> (8 * (LENGTH_BYTES - 1 - i)));
    }
    out.insert(out.end(), message.begin(), message.end());
    return out;
}

int connect_to(const std::string& path) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path.c_str(), sizeof(address.sun_path) - 1);
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

// Up to `size` bytes arriving within the time-out; fewer at the end of the stream.
std::vector<uint8_t> receive(int fd, size_t size, std::chrono::milliseconds timeout) {
    std::vector<uint8_t> got;
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (got.size() < size) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        pollfd p{fd, POLLIN, 0};
        if (left.count() <= 0 || poll(&p, 1, static_cast<int>(left.count())) != 1) {
            break;
        }
        uint8_t buffer[256];
        const ssize_t n = recv(fd, buffer, std::min(sizeof(buffer), size - got.size()), 0);
        if (n <= 0) {
            break;
        }
        got.insert(got.end(), buffer, buffer + n);
    }
    return got;
}

// Whether the other end closes the connection within the time-out.
bool closed_within(int fd, std::chrono::milliseconds timeout) {
    pollfd p{fd, POLLIN, 0};
    uint8_t byte = 0;
    return poll(&p, 1, static_cast<int>(timeout.count())) == 1 &&
           recv(fd, &byte, 1, MSG_DONTWAIT) == 0;
}

std::optional<reply> read_reply(int fd, std::chrono::milliseconds timeout) {
    const std::vector<uint8_t> header = receive(fd, LENGTH_BYTES, timeout);
    if (header.size() != LENGTH_BYTES || frame_length(header.data()) > MAX_REPLY) {
        return std::nullopt;
    }
    const std::vector<uint8_t> body = receive(fd, frame_length(header.data()), timeout);
    reply r;
    if (body.size() != frame_length(header.data()) || !decode_reply(body.data(), body.size(), &r)) {
        return std::nullopt;
    }
    return r;
}

std::optional<reply> status_over(int fd) {
    const request status = status_request{};
    std::vector<uint8_t> bytes;
    std::string why;
    if (!encode_request(status, &bytes, &why)) {
        return std::nullopt;
    }
    // A connection the service refused may be closed already; its error is there to read.
    const ssize_t sent = send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
    (void)sent;
    return read_reply(fd, 2s);
}

// One byte that may carry one descriptor across a Unix socket.
struct descriptor_message {
    char byte = 0;
    iovec part{&byte, 1};
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))] = {};
    msghdr message{};

    descriptor_message() {
        message.msg_iov = &part;
        message.msg_iovlen = 1;
        message.msg_control = control;
        message.msg_controllen = sizeof(control);
    }
};

// A connection to `path` made by a process of `uid` in group nogroup, whose credentials the
// service sees, handed over to the test; -1 when it could not connect.
int connect_as(const std::string& path, uid_t uid) {
    int pair[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0) {
        return -1;
    }
    const pid_t child = fork();
    if (child == 0) {
        const int fd = setgroups(0, nullptr) == 0 && setresgid(NOGROUP, NOGROUP, NOGROUP) == 0 &&
                               setresuid(uid, uid, uid) == 0
                           ? connect_to(path)
                           : -1;
        descriptor_message sent;
        if (fd >= 0) {
            cmsghdr* header = CMSG_FIRSTHDR(&sent.message);
            header->cmsg_level = SOL_SOCKET;
            header->cmsg_type = SCM_RIGHTS;
            header->cmsg_len = CMSG_LEN(sizeof(int));
            std::memcpy(CMSG_DATA(header), &fd, sizeof(int));
        } else {
            sent.message.msg_control = nullptr;
            sent.message.msg_controllen = 0;
        }
        _exit(sendmsg(pair[1], &sent.message, 0) == 1 ? 0 : 1);
    }
    close(pair[1]);
    int fd = -1;
    descriptor_message received;
    if (child > 0 && recvmsg(pair[0], &received.message, MSG_CMSG_CLOEXEC) == 1) {
        const cmsghdr* header = CMSG_FIRSTHDR(&received.message);
        if (header != nullptr && header->cmsg_type == SCM_RIGHTS) {
            std::memcpy(&fd, CMSG_DATA(header), sizeof(int));
        }
    }
    close(pair[0]);
    if (child > 0) {
        waitpid(child, nullptr, 0);
    }
    return fd;
}

// Users other than nobody whom the service lets in: nogroup is their group in the user database.
std::vector<uid_t> other_nogroup_users() {
    std::vector<uid_t> users;
    setpwent();
    while (const passwd* entry = getpwent()) {
        if (entry->pw_gid == NOGROUP && entry->pw_uid != 0 && entry->pw_uid != 65534) {
            users.push_back(entry->pw_uid);
        }
    }
    endpwent();
    return users;
}

// quarneld started by the test in the namespace of the calling thread, told to allow nogroup.
// Ready once its readiness notification (as systemd takes it) has arrived.
class service_run {
  public:
    explicit service_run(const std::string& socket_path) {
        const std::string notify = socket_path + ".notify";
        unlink(notify.c_str());
        notify_fd_ = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::strncpy(address.sun_path, notify.c_str(), sizeof(address.sun_path) - 1);
        bind(notify_fd_, reinterpret_cast<const sockaddr*>(&address), sizeof(address));
        setenv("NOTIFY_SOCKET", notify.c_str(), 1);
        process_ = std::make_unique<program>(
            std::vector<std::string>{QUARNELD, "--socket", socket_path, "--group", "nogroup"});
        unsetenv("NOTIFY_SOCKET");
    }
    ~service_run() { close(notify_fd_); }

    bool ready() {
        pollfd p{notify_fd_, POLLIN, 0};
        char message[256] = {};
        return poll(&p, 1, 20000) == 1 && recv(notify_fd_, message, sizeof(message) - 1, 0) > 0 &&
               std::strstr(message, "READY=1") != nullptr;
    }
    program& process() { return *process_; }
    // Its log so far.
    const std::string& log() {
        process_->read_until(std::string(1, '\0'), 200ms);
        return process_->output;
    }

  private:
    int notify_fd_ = -1;
    std::unique_ptr<program> process_;
};

class EngineServiceTest : public ::testing::Test {
  protected:
    void SetUp() override {
        std::string error;
        ASSERT_TRUE(start_tunnel_server(net_.srv, TOKEN, &server_, &error)) << error;
        client_ = std::make_unique<netns_scope>(net_.cli);
        before_ = dump_state(net_.cli);
        socket_ = reachable_dir() + "/engine.sock";
        setenv(SOCKET_VARIABLE, socket_.c_str(), 1);
        start_service();
    }

    void TearDown() override {
        service_.reset();
        client_.reset();
        server_.reset();
        unsetenv(SOCKET_VARIABLE);
    }

    void start_service() {
        service_ = std::make_unique<service_run>(socket_);
        ASSERT_TRUE(service_->ready()) << service_->log();
    }

    // The command-line client through the service, as `user` ("nobody", or an uid outside
    // the group whose kernel groups would still open the socket).
    std::unique_ptr<program> cli_as(const std::string& user, const std::string& mode) {
        std::vector<std::string> argv{SETPRIV};
        if (user == "nobody") {
            argv.insert(argv.end(), {"--reuid=65534", "--regid=65534", "--init-groups"});
        } else {
            argv.insert(argv.end(), {"--reuid=" + user, "--regid=" + user, "--groups=65534"});
        }
        argv.insert(argv.end(), {"--",
                                 QUARNEL_CLI,
                                 "connect",
                                 "--server",
                                 TUNNEL_SERVER_ADDR,
                                 "--port",
                                 std::to_string(TUNNEL_SERVER_PORT),
                                 "--server-key",
                                 server_->key().public_hex(),
                                 "--token",
                                 TOKEN,
                                 "--mode",
                                 mode,
                                 "--remote-route",
                                 "198.51.100.0/24",
                                 "--dns",
                                 "10.8.0.1",
                                 "--backup-dns",
                                 "10.8.0.254",
                                 "--status-interval",
                                 "1"});
        return std::make_unique<program>(argv);
    }

    uint64_t disconnects() const { return server_->stats().received[MSG_DISCONN].load(); }
    bool ping_lan_host() {
        return net_.cli.exec({"ping", "-c", "1", "-W", "2", "-n", TUNNEL_LAN_HOST}).status == 0;
    }
    bool namespace_restored() { return dump_state(net_.cli) == before_; }

    tunnel_topology net_;
    std::unique_ptr<ref_server> server_;
    std::unique_ptr<netns_scope> client_;
    net_state before_;
    std::string socket_;
    std::unique_ptr<service_run> service_;
};

struct broken_request {
    const char* name;
    std::vector<uint8_t> bytes;
    bool half_close;  // the client closes its sending side after the bytes
    error_code expected;
};

std::vector<broken_request> broken_requests() {
    // A start whose first route list claims a million routes: seven empty texts, a port, then
    // the count.
    std::vector<uint8_t> huge_list{'Q', 'N', PROTOCOL_VERSION, 1};
    huge_list.insert(huge_list.end(), 14, 0);
    huge_list.insert(huge_list.end(), {0, 0, 0, 1, 0, 0x0F, 0x42, 0x40});
    const std::vector<uint8_t> announced_100{0, 0, 0, 100, 'Q', 'N', PROTOCOL_VERSION, 1};
    return {
        {"bad magic", frame({'X', 'N', PROTOCOL_VERSION, 5}), false, error_code::malformed},
        {"newer version", frame({'Q', 'N', 2, 5}), false, error_code::unsupported_version},
        {"unknown request", frame({'Q', 'N', PROTOCOL_VERSION, 99}), false,
         error_code::unknown_request},
        {"trailing byte", frame({'Q', 'N', PROTOCOL_VERSION, 5, 0}), false, error_code::malformed},
        {"token with a NUL", frame({'Q', 'N', PROTOCOL_VERSION, 3, 0, 2, 'a', 0}), false,
         error_code::malformed},
        {"a million routes", frame(huge_list), false, error_code::malformed},
        {"empty message", frame({}), false, error_code::malformed},
        {"2 MiB announced", {0, 0x20, 0, 0}, false, error_code::too_large},
        {"cut short", announced_100, true, error_code::truncated},
        {"too slow", announced_100, false, error_code::timed_out},
    };
}

TEST_F(EngineServiceTest, BrokenRequestsGetTheirErrorAndTheServiceServesOthersMeanwhile) {
    connection bystander(socket_);
    const request status = status_request{};
    for (const broken_request& broken : broken_requests()) {
        SCOPED_TRACE(broken.name);
        const int fd = connect_to(socket_);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(send(fd, broken.bytes.data(), broken.bytes.size(), MSG_NOSIGNAL),
                  static_cast<ssize_t>(broken.bytes.size()));
        if (broken.half_close) {
            shutdown(fd, SHUT_WR);
        }
        // A client that hangs mid-message holds nobody else back.
        reply answer;
        std::string why;
        EXPECT_TRUE(bystander.call(status, &answer, 1s, &why)) << why;
        EXPECT_TRUE(answer.ok);
        EXPECT_EQ(answer.value, 0);

        const std::optional<reply> error = read_reply(fd, 5s);
        ASSERT_TRUE(error);
        EXPECT_FALSE(error->ok);
        EXPECT_EQ(error->error, broken.expected) << error_name(error->error);
        // The connection ends after a broken request.
        EXPECT_TRUE(receive(fd, 1, 2s).empty());
        close(fd);
        EXPECT_NE(service_->log().find(error_name(broken.expected)), std::string::npos);
    }
    reply answer;
    std::string why;
    EXPECT_TRUE(bystander.call(status, &answer, 1s, &why)) << why;
    EXPECT_TRUE(answer.ok);
}

TEST_F(EngineServiceTest, OnlyGroupMembersGetInAndTheOwnersEndStopsTheSession) {
    // Let in by the socket's mode through a kernel group, refused by the user database.
    const std::unique_ptr<program> outsider = cli_as("4242", "proxy");
    outsider->read_to_end(30s);
    EXPECT_EQ(outsider->wait_exit(), 1);
    EXPECT_NE(outsider->output.find("connect failed (-91)"), std::string::npos) << outsider->output;
    EXPECT_NE(outsider->output.find("peer not allowed"), std::string::npos);
    EXPECT_NE(service_->log().find("refused uid 4242"), std::string::npos);
    EXPECT_EQ(server_->session_count(), 0u);

    const std::unique_ptr<program> member = cli_as("nobody", "proxy");
    ASSERT_TRUE(member->read_until("connected\n", 30s)) << member->output << service_->log();
    EXPECT_TRUE(ping_lan_host());

    // Root may use the service, but the session is the member's.
    connection other(socket_);
    const request stop = stop_request{1};
    reply answer;
    std::string why;
    ASSERT_TRUE(other.call(stop, &answer, 5s, &why)) << why;
    EXPECT_FALSE(answer.ok);
    EXPECT_EQ(answer.error, error_code::not_owner);
    EXPECT_TRUE(ping_lan_host());

    const auto killed_at = std::chrono::steady_clock::now();
    member->kill_now();
    EXPECT_TRUE(wait_until([&] { return disconnects() == 1 && namespace_restored(); }, 10s))
        << service_->log();
    std::printf(
        "proxy-mode session of a killed client put back after %.2f s\n",
        std::chrono::duration<double>(std::chrono::steady_clock::now() - killed_at).count());
    EXPECT_NE(service_->log().find("owned the session: stopping it"), std::string::npos);
}

TEST_F(EngineServiceTest, NoUserTakesEverySlotRootAndTheSessionsUserKeepTheirsIdleOnesClose) {
    using namespace client_limits;
    const std::vector<uid_t> others = other_nogroup_users();
    ASSERT_GE(others.size(), 2u) << "two users whose group is nogroup";
    const uid_t hog = others[0];
    const uid_t other = others[1];
    // nobody's session: the session's connection and the one of its status each second.
    const std::unique_ptr<program> member = cli_as("nobody", "proxy");
    ASSERT_TRUE(member->read_until("status 0:", 30s)) << member->output << service_->log();
    size_t open = 2;

    std::vector<int> held;
    // The service's answer to a status over a new connection of `uid`; the test holds the
    // connections the service took.
    const auto ask_as = [&](uid_t uid) {
        const int fd = connect_as(socket_, uid);
        const std::optional<reply> got = fd >= 0 ? status_over(fd) : std::nullopt;
        if (got && got->ok) {
            held.push_back(fd);
            return "taken";
        }
        close(fd);
        return got ? error_name(got->error) : "no answer";
    };
    for (size_t i = 0; i < MAX_PER_USER; ++i, ++open) {
        ASSERT_STREQ(ask_as(hog), "taken") << i;
    }
    EXPECT_STREQ(ask_as(hog), error_name(error_code::busy));
    EXPECT_STREQ(ask_as(other), "taken");
    ++open;
    // Root fills the slots every user may take; the rest are root's and the session's user's.
    for (; open < MAX_CLIENTS - RESERVED; ++open) {
        ASSERT_STREQ(ask_as(0), "taken") << open;
    }
    EXPECT_STREQ(ask_as(other), error_name(error_code::busy));
    EXPECT_STREQ(ask_as(0), "taken");
    EXPECT_STREQ(ask_as(65534), "taken");
    const auto last_asked = std::chrono::steady_clock::now();
    EXPECT_NE(service_->log().find("too many clients of this user"), std::string::npos);

    // Idle, every connection of the test is closed; the session's are not.
    ASSERT_TRUE(closed_within(held.back(), IDLE_TIMEOUT + 1s));
    const auto idle = std::chrono::steady_clock::now() - last_asked;
    EXPECT_GE(idle, IDLE_TIMEOUT - 100ms);
    for (const int fd : held) {
        EXPECT_TRUE(closed_within(fd, 200ms));
        close(fd);
    }
    std::printf("idle connections closed after %.2f s\n",
                std::chrono::duration<double>(idle).count());
    // The session went through it all: its client still hears status 0 each second.
    const size_t heard = member->output.size();
    EXPECT_FALSE(member->read_until("session ended", 1500ms)) << member->output;
    EXPECT_NE(member->output.find("status 0:", heard), std::string::npos) << member->output;
    EXPECT_TRUE(ping_lan_host());
    EXPECT_EQ(service_->log().find("owned the session"), std::string::npos) << service_->log();
    held.clear();
    EXPECT_STREQ(ask_as(other), "taken");
    close(held.back());
    member->kill_now();
    EXPECT_TRUE(wait_until([&] { return namespace_restored(); }, 10s)) << service_->log();
}

TEST_F(EngineServiceTest, AKilledServiceIsPutBackAtItsNextStartAndSigtermStopsTheSession) {
    std::unique_ptr<program> member = cli_as("nobody", "split");
    ASSERT_TRUE(member->read_until("connected\n", 30s)) << member->output << service_->log();
    service_->process().kill_now();
    EXPECT_FALSE(namespace_restored());
    // The client hears that its session went with the service.
    EXPECT_TRUE(member->read_until("session ended (-90)", 10s)) << member->output;
    EXPECT_EQ(member->wait_exit(), 2);

    start_service();
    EXPECT_EQ(dump_state(net_.cli), before_);
    EXPECT_NE(service_->log().find("start: put back"), std::string::npos) << service_->log();

    member = cli_as("nobody", "proxy");
    ASSERT_TRUE(member->read_until("connected\n", 30s)) << member->output << service_->log();
    kill(service_->process().pid, SIGTERM);
    EXPECT_EQ(service_->process().wait_exit(), 0);
    EXPECT_EQ(disconnects(), 1u);
    EXPECT_EQ(dump_state(net_.cli), before_);
    EXPECT_NE(access(socket_.c_str(), F_OK), 0);
    EXPECT_TRUE(member->read_until("session ended (-90)", 10s)) << member->output;
}

TEST_F(EngineServiceTest, ItBindsNoPathItMustNotTakeAndServesTheSocketSystemdHandsOver) {
    // A file that is not a socket stays; so does the socket of a service that answers on it.
    const std::string file = reachable_dir() + "/not-a-socket";
    std::ofstream(file) << "keep";
    for (const auto& [path, why] : {std::pair<std::string, std::string>{file, "is not a socket"},
                                    {socket_, "another service answers"}}) {
        program refused({QUARNELD, "--socket", path, "--group", "nogroup"});
        refused.read_to_end(10s);
        EXPECT_EQ(refused.wait_exit(), 1);
        EXPECT_NE(refused.output.find(why), std::string::npos) << refused.output;
    }
    EXPECT_EQ(test_support::read_file(file), "keep");
    const request status = status_request{};
    reply answer;
    std::string why;
    connection still(socket_);
    EXPECT_TRUE(still.call(status, &answer, 5s, &why)) << why;

    service_.reset();
    const std::string handed = reachable_dir() + "/activated.sock";
    program activator(
        {"/usr/bin/systemd-socket-activate", "-l", handed, QUARNELD, "--group", "nogroup"});
    ASSERT_TRUE(activator.read_until("Listening on", 10s)) << activator.output;
    // The service starts on the first connection and finds the socket handed to it.
    connection first(handed);
    ASSERT_TRUE(first.call(status, &answer, 10s, &why)) << why << activator.output;
    EXPECT_TRUE(answer.ok);
    EXPECT_TRUE(activator.read_until("serving the socket systemd handed over", 5s))
        << activator.output;
}

// A kept connection that the service closes as idle just as a request goes out: the service
// never read the request, which goes once more on a new connection.
TEST(ServiceConnectionTest, ARequestTheServiceClosedUnreadGoesAgainOnANewConnection) {
    const test_support::temp_dir dir;
    const std::string path = (dir.path() / "engine.sock").string();
    const int listener = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path.c_str(), sizeof(address.sun_path) - 1);
    ASSERT_EQ(bind(listener, reinterpret_cast<const sockaddr*>(&address), sizeof(address)), 0);
    ASSERT_EQ(listen(listener, 4), 0);
    const auto answer_with = [](int fd, int32_t value) {
        reply r;
        r.kind = static_cast<uint8_t>(request_kind::status);
        r.ok = true;
        r.value = value;
        const std::vector<uint8_t> bytes = encode_reply(r);
        return receive(fd, 8, 2s).size() == 8 &&
               send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL) ==
                   static_cast<ssize_t>(bytes.size());
    };
    int accepted = 0;
    std::thread service([&] {
        pollfd p{listener, POLLIN, 0};
        const int first = poll(&p, 1, 2000) == 1 ? accept(listener, nullptr, nullptr) : -1;
        if (first < 0 || !answer_with(first, 1)) {
            return;
        }
        ++accepted;
        // The next request comes and is left unread.
        pollfd queued{first, POLLIN, 0};
        poll(&queued, 1, 2000);
        close(first);
        const int second = poll(&p, 1, 2000) == 1 ? accept(listener, nullptr, nullptr) : -1;
        if (second >= 0) {
            ++accepted;
            answer_with(second, 2);
            close(second);
        }
    });
    connection link(path);
    const request status = status_request{};
    reply got;
    std::string why;
    EXPECT_TRUE(link.call(status, &got, 3s, &why)) << why;
    EXPECT_EQ(got.value, 1);
    EXPECT_TRUE(link.call(status, &got, 3s, &why)) << why;
    EXPECT_EQ(got.value, 2);
    service.join();
    EXPECT_EQ(accepted, 2);
    close(listener);
}

}  // namespace
