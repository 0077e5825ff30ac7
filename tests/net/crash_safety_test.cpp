// Sessions that end without their stop: the command-line client killed while connected or in
// the middle of a start, and a start that an allocation failure cuts short anywhere. Whatever
// put things back (the next connect, quarnel-cli cleanup, or the start's own unwind), the
// client namespace must be exactly as before the first connect.
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <new>
#include <string>
#include <vector>

#include "child_program.h"
#include "host_journal.h"
#include "netns.h"
#include "quarnel_api.h"
#include "ref_server.h"
#include "test_support.h"
#include "tun_data_path.h"
#include "tunnel_topology.h"

namespace {

// Allocations on the armed thread before one fails (once); -1 when none is to fail, and a
// count of what was allocated while counting.
thread_local long allocations_before_failure = -1;
thread_local bool counting = false;
thread_local long allocations_counted = 0;

}  // namespace

// The replacement pair below allocates with malloc and frees with free, which the compiler cannot
// see through where it inlines the delete.
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"

void* operator new(std::size_t size) {
    if (counting) {
        ++allocations_counted;
    }
    if (allocations_before_failure == 0) {
        allocations_before_failure = -1;
        throw std::bad_alloc();
    }
    if (allocations_before_failure > 0) {
        --allocations_before_failure;
    }
    void* memory = std::malloc(size != 0 ? size : 1);
    if (memory == nullptr) {
        throw std::bad_alloc();
    }
    return memory;
}
// The engine's nothrow allocations are counted and failed the same way, as a null result, and
// come back through the same delete.
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
    try {
        return ::operator new(size);
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
}
void operator delete(void* memory) noexcept {
    std::free(memory);
}
void operator delete(void* memory, std::size_t) noexcept {
    std::free(memory);
}

using namespace netns_test;
using namespace std::chrono_literals;

namespace {

constexpr const char* TOKEN = "good-token";

std::string journal_dir() {
    return std::getenv("QUARNEL_JOURNAL_DIR");
}

// The journals on disk: none once everything is put back.
std::vector<std::string> journal_files() {
    std::vector<std::string> names;
    if (DIR* dir = opendir(journal_dir().c_str())) {
        while (dirent* entry = readdir(dir)) {
            if (entry->d_name[0] != '.') {
                names.push_back(entry->d_name);
            }
        }
        closedir(dir);
    }
    return names;
}

void write_file(const std::string& path, const std::string& content, mode_t mode) {
    unlink(path.c_str());
    std::ofstream(path, std::ios::binary) << content;
    chmod(path.c_str(), mode);
}

route_entry_str_t route(const char* ip, int bits) {
    route_entry_str_t r{};
    std::strncpy(r.ip, ip, sizeof(r.ip) - 1);
    r.bitlen = bits;
    return r;
}

class CrashSafetyTest : public ::testing::TestWithParam<bool> {
  protected:
    void SetUp() override {
        std::string error;
        ASSERT_TRUE(start_tunnel_server(net_.srv, TOKEN, &server_, &error)) << error;
        // The test thread, and every program it starts, works in the client namespace.
        client_ = std::make_unique<netns_scope>(net_.cli);
        ASSERT_EQ(net_.cli.forwarding(), "0");
        before_ = dump_state(net_.cli);
        key_ = server_->key().public_hex();
        ASSERT_TRUE(journal_files().empty());
    }

    void TearDown() override {
        stop_vpn(0);
        unlink(resolvconf_path().c_str());
        client_.reset();
        if (server_) {
            server_->stop();
        }
        write_file("/etc/resolv.conf", "# private resolver of the network tests\n", 0644);
        for (const std::string& name : journal_files()) {
            unlink((journal_dir() + "/" + name).c_str());
        }
    }

    static std::string resolvconf_path() { return private_bin_dir() + "/resolvconf"; }

    std::vector<std::string> connect_args(bool proxy) const {
        return {QUARNEL_CLI,
                "connect",
                "--server",
                TUNNEL_SERVER_ADDR,
                "--port",
                std::to_string(TUNNEL_SERVER_PORT),
                "--server-key",
                key_,
                "--token",
                TOKEN,
                "--mode",
                proxy ? "proxy" : "split",
                "--remote-route",
                "198.51.100.0/24",
                "--dns",
                "10.8.0.1",
                "--backup-dns",
                "10.8.0.254",
                "--status-interval",
                "60"};
    }

    // A connected session of the command-line client, killed without a chance to stop.
    void kill_connected_session(bool proxy) {
        program cli(connect_args(proxy));
        ASSERT_TRUE(cli.read_until("connected\n", 30s)) << cli.output;
        EXPECT_FALSE(dump_state(net_.cli) == before_);
        cli.kill_now();
        // What the kernel does not take away with the adapter is still there.
        const net_state left = dump_state(net_.cli);
        EXPECT_FALSE(left == before_);
        EXPECT_NE(left.resolver, before_.resolver);
        if (!proxy) {
            EXPECT_EQ(left.forwarding, "1");
        }
        EXPECT_EQ(journal_files().size(), 1u);
    }

    // The command-line client's cleanup; its output.
    std::string cleanup(int expected_status = 0) {
        program cleanup({QUARNEL_CLI, "cleanup"});
        cleanup.read_to_end(30s);
        EXPECT_EQ(cleanup.wait_exit(), expected_status) << cleanup.output;
        return cleanup.output;
    }

    int start_in_process(bool proxy) {
        const route_entry_str_t remote[] = {route("198.51.100.0", 24)};
        return start_in_process(proxy, remote, 1);
    }

    int start_in_process(bool proxy, const route_entry_str_t* remote, int remote_count) {
        return start_vpn("LINUX", "3.1.8.0", TOKEN, "test-device-uuid", key_.c_str(), "",
                         TUNNEL_SERVER_ADDR, TUNNEL_SERVER_PORT, nullptr, 0, remote, remote_count,
                         nullptr, 0, 1400, 0, 0, proxy ? 1 : 0, "10.8.0.1", "10.8.0.254");
    }

    tunnel_topology net_;
    std::unique_ptr<ref_server> server_;
    std::unique_ptr<netns_scope> client_;
    net_state before_;
    std::string key_;
};

TEST_P(CrashSafetyTest, TheNextConnectPutsBackWhatAKilledSessionLeft) {
    const bool proxy = GetParam();
    kill_connected_session(proxy);
    ASSERT_EQ(start_in_process(proxy), 0);
    EXPECT_EQ(journal_files().size(), 1u);  // its own; the dead one's is gone
    stop_vpn(1);
    EXPECT_EQ(dump_state(net_.cli), before_);
    EXPECT_TRUE(journal_files().empty());
}

TEST_P(CrashSafetyTest, CleanupAlonePutsBackWhatAKilledSessionLeft) {
    kill_connected_session(GetParam());
    EXPECT_NE(cleanup().find("host changes of ended sessions put back"), std::string::npos);
    EXPECT_EQ(dump_state(net_.cli), before_);
    EXPECT_TRUE(journal_files().empty());
    EXPECT_EQ(cleanup(), "0 host changes of ended sessions put back\n");
    EXPECT_EQ(dump_state(net_.cli), before_);
}

INSTANTIATE_TEST_SUITE_P(Modes, CrashSafetyTest, ::testing::Values(true, false),
                         [](const ::testing::TestParamInfo<bool>& info) {
                             return info.param ? "Proxy" : "Split";
                         });

class CrashSafetyOnceTest : public CrashSafetyTest {};

TEST_F(CrashSafetyOnceTest, ALiveSessionIsLeftAloneByCleanup) {
    program cli(connect_args(true));
    ASSERT_TRUE(cli.read_until("connected\n", 30s)) << cli.output;
    const net_state connected = dump_state(net_.cli);
    EXPECT_EQ(cleanup(), "0 host changes of ended sessions put back\n");
    EXPECT_EQ(dump_state(net_.cli), connected);
    kill(cli.pid, SIGTERM);
    EXPECT_TRUE(cli.read_until("disconnected\n", 30s)) << cli.output;
    EXPECT_EQ(cli.wait_exit(), 0);
    EXPECT_EQ(dump_state(net_.cli), before_);
    EXPECT_TRUE(journal_files().empty());
}

TEST_F(CrashSafetyOnceTest, CleanupReportsABrokenJournalThroughTheEngineLog) {
    write_file(journal_dir() + "/session-broken.journal", "not a journal\n", 0600);
    const std::string log_path =
        std::string(QUARNEL_CLI).substr(0, std::string(QUARNEL_CLI).rfind('/')) + "/quarnel.log";
    const std::string line =
        "[Function: replay_host_journals]  host journal without a readable header left alone";
    unlink(log_path.c_str());
    EXPECT_NE(cleanup().find(line), std::string::npos);
    EXPECT_NE(test_support::read_file(log_path).find(line), std::string::npos);
    EXPECT_EQ(journal_files(), std::vector<std::string>{"session-broken.journal"});
}

TEST_F(CrashSafetyOnceTest, AKillBetweenTheRoutesAndTheResolverIsPutBack) {
    // A resolver manager that hangs: the start waits in it, with its routes in place.
    const std::string entered = scratch_dir() + "/resolvconf-entered";
    const std::string calls = scratch_dir() + "/resolvconf-calls";
    unlink(entered.c_str());
    unlink(calls.c_str());
    write_file(resolvconf_path(),
               "#!/bin/sh\nPATH=/usr/bin:/bin\necho $$ >" + entered + "\nexec sleep 60\n", 0755);
    program cli(connect_args(true));
    ASSERT_TRUE(test_support::wait_until([&] { return access(entered.c_str(), F_OK) == 0; }, 30s))
        << cli.output;
    bool server_route = false;
    for (const std::string& line : main_routes(net_.cli)) {
        server_route |= line.rfind(std::string(TUNNEL_SERVER_ADDR) + " via", 0) == 0;
    }
    EXPECT_TRUE(server_route);
    cli.kill_now();
    const pid_t hung = std::atoi(test_support::read_file(entered).c_str());
    ASSERT_GT(hung, 0);
    kill(-hung, SIGKILL);  // its own process group, as the engine starts it

    // A manager that answers: the registration that may have happened is taken back too.
    write_file(resolvconf_path(),
               "#!/bin/sh\nPATH=/usr/bin:/bin\necho \"$@\" >>" + calls + "\ncat >/dev/null\n",
               0755);
    EXPECT_FALSE(dump_state(net_.cli) == before_);
    cleanup();
    EXPECT_EQ(test_support::read_file(calls), "-d tun0\n");
    EXPECT_EQ(dump_state(net_.cli), before_);
    EXPECT_TRUE(journal_files().empty());
}

TEST_F(CrashSafetyOnceTest, AStartWhoseChangesCouldNotBePutBackFailsAndChangesNothing) {
    // A command-line start that must fail: its output, the engine's log included.
    auto failed_connect = [](const std::vector<std::string>& args) {
        program cli(args);
        cli.read_to_end(60s);
        EXPECT_EQ(cli.wait_exit(), 1) << cli.output;
        return cli.output;
    };
    // /32 routes in 100.64.0.0/10; connect_args has one more, and split mode adds the tunnel's
    // own subnet.
    std::vector<std::string> args = connect_args(false);
    std::vector<route_entry_str_t> remote;
    for (uint32_t i = 0; i < MAX_SESSION_ROUTES; ++i) {
        const std::string ip = "100." + std::to_string(64 + (i >> 16)) + "." +
                               std::to_string((i >> 8) & 0xFF) + "." + std::to_string(i & 0xFF);
        args.insert(args.end(), {"--remote-route", ip + "/32"});
        remote.push_back(route(ip.c_str(), 32));
    }
    std::string output = failed_connect(args);
    EXPECT_NE(output.find("10012 routes refused: a session holds at most 10010 routes, it holds 0"),
              std::string::npos)
        << output;
    EXPECT_NE(output.find("connect failed (-51)"), std::string::npos) << output;
    EXPECT_EQ(dump_state(net_.cli), before_);
    EXPECT_TRUE(journal_files().empty());
    remote.pop_back();
    ASSERT_EQ(start_in_process(false, remote.data(), static_cast<int>(remote.size())), 0);
    stop_vpn(1);
    EXPECT_EQ(dump_state(net_.cli), before_);

    // A resolver file too large for its record to be read back: nothing may rewrite it.
    write_file("/etc/resolv.conf", "#" + std::string(65536, ' ') + "\nnameserver 192.0.2.53\n",
               0644);
    const net_state large = dump_state(net_.cli);
    output = failed_connect(connect_args(true));
    EXPECT_NE(output.find("resolver-file change refused, a replay could not read its record "
                          "back: the resolver file holds 65560 bytes, more than the 65536 a "
                          "record keeps"),
              std::string::npos)
        << output;
    EXPECT_NE(output.find("connect failed (-73)"), std::string::npos) << output;
    EXPECT_EQ(dump_state(net_.cli), large);
    EXPECT_TRUE(journal_files().empty());
}

// Sockets and TUN devices the process holds: a start that failed must leave none of its own.
int open_devices() {
    int count = 0;
    if (DIR* dir = opendir("/proc/self/fd")) {
        while (dirent* entry = readdir(dir)) {
            char target[256] = {};
            std::string path = std::string("/proc/self/fd/") + entry->d_name;
            if (readlink(path.c_str(), target, sizeof(target) - 1) > 0 &&
                (std::strncmp(target, "socket:", 7) == 0 ||
                 std::strcmp(target, "/dev/net/tun") == 0)) {
                ++count;
            }
        }
        closedir(dir);
    }
    return count;
}

TEST_F(CrashSafetyOnceTest, AnAllocationFailureAnywhereInAStartUnwindsEverything) {
    // How many allocations a whole start makes on this thread.
    counting = true;
    allocations_counted = 0;
    ASSERT_EQ(start_in_process(true), 0);
    counting = false;
    const long total = allocations_counted;
    stop_vpn(1);
    ASSERT_EQ(dump_state(net_.cli), before_);
    const int devices = open_devices();

    for (long n = 0; n < total; ++n) {
        allocations_before_failure = n;
        const int result = start_in_process(true);
        allocations_before_failure = -1;
        if (result == 0) {
            stop_vpn(1);  // the failure was absorbed where it happened
        }
        ASSERT_EQ(dump_state(net_.cli), before_)
            << "allocation " << n << " of " << total << " failed, start gave " << result;
        ASSERT_TRUE(journal_files().empty())
            << "allocation " << n << " of " << total << ", start gave " << result;
        ASSERT_EQ(open_devices(), devices) << "allocation " << n << ", start gave " << result;
    }
}

}  // namespace
