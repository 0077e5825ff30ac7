// The resolver configuration of a session, in the process's private /etc.
#include <dirent.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <signal.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <set>
#include <sstream>
#include <string>

#include "host_journal.h"
#include "log_capture.h"
#include "netcard_tool.h"
#include "netns.h"
#include "resolver.h"
#include "test_support.h"

namespace {

const char RESOLV_CONF[] = "/etc/resolv.conf";
const char SERVERS[] = "nameserver 10.8.0.53\nnameserver 10.8.0.54\n";

void write_file(const std::string& path, const std::string& content, mode_t mode) {
    unlink(path.c_str());
    std::ofstream(path, std::ios::binary) << content;
    chmod(path.c_str(), mode);
}

// Puts back what the session's journal holds for the resolver.
void restore_dns() {
    session_journal().unwind();
}

class DnsTest : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_TRUE(session_journal().begin()); }
    // Whatever a test leaves, the next one starts from a plain file and no resolvconf.
    void TearDown() override {
        session_journal().end();
        write_file(RESOLV_CONF, "# private resolver of the network tests\n", 0644);
        unlink((netns_test::private_bin_dir() + "/resolvconf").c_str());
    }

    test_support::log_capture log_;
};

TEST_F(DnsTest, ARewrittenFileGetsItsBytesAndModeBack) {
    // No final newline, a comment and an unusual mode: all must survive byte for byte.
    write_file(RESOLV_CONF, "# host resolver\nsearch example.test\nnameserver 192.0.2.53", 0604);
    const std::string before = netns_test::dump_resolver();
    struct stat original {};
    ASSERT_EQ(stat(RESOLV_CONF, &original), 0);

    ASSERT_TRUE(SetAdapterDNS("tun0", "10.8.0.53", "10.8.0.54"));
    EXPECT_EQ(test_support::read_file(RESOLV_CONF), SERVERS);
    restore_dns();
    EXPECT_EQ(netns_test::dump_resolver(), before);
    struct stat restored {};
    ASSERT_EQ(stat(RESOLV_CONF, &restored), 0);
    EXPECT_EQ(restored.st_ino, original.st_ino);  // rewritten in place, bind mounts stay valid

    ASSERT_TRUE(SetAdapterDNS("tun0", "10.8.0.53", nullptr));
    EXPECT_EQ(test_support::read_file(RESOLV_CONF), "nameserver 10.8.0.53\n");
    restore_dns();
    EXPECT_EQ(netns_test::dump_resolver(), before);
}

TEST_F(DnsTest, ASymlinkIsReplacedForTheSessionAndPutBack) {
    const std::string managed = netns_test::scratch_dir() + "/managed-resolv.conf";
    write_file(managed, "nameserver 192.0.2.53\n", 0644);
    unlink(RESOLV_CONF);
    ASSERT_EQ(symlink(managed.c_str(), RESOLV_CONF), 0);
    const std::string before = netns_test::dump_resolver();

    ASSERT_TRUE(SetAdapterDNS("tun0", "10.8.0.53", "10.8.0.54"));
    struct stat st {};
    ASSERT_EQ(lstat(RESOLV_CONF, &st), 0);
    EXPECT_TRUE(S_ISREG(st.st_mode));
    EXPECT_EQ(test_support::read_file(RESOLV_CONF), SERVERS);
    EXPECT_EQ(test_support::read_file(managed), "nameserver 192.0.2.53\n");  // not ours

    restore_dns();
    EXPECT_EQ(netns_test::dump_resolver(), before);
    EXPECT_EQ(test_support::read_file(managed), "nameserver 192.0.2.53\n");
}

TEST_F(DnsTest, AChangeNeverRestoredIsUndoneBeforeTheNextOne) {
    write_file(RESOLV_CONF, "nameserver 192.0.2.53\n", 0644);
    const std::string before = netns_test::dump_resolver();
    // As after a session that died: the next one must not take the tunnel's servers for the
    // host's own.
    ASSERT_TRUE(SetAdapterDNS("tun0", "10.8.0.53", nullptr));
    ASSERT_TRUE(SetAdapterDNS("tun0", "10.8.0.53", "10.8.0.54"));
    EXPECT_EQ(test_support::read_file(RESOLV_CONF), SERVERS);
    restore_dns();
    EXPECT_EQ(netns_test::dump_resolver(), before);
}

TEST_F(DnsTest, OnlyAddressesAreWrittenAndNoServerChangesNothing) {
    write_file(RESOLV_CONF, "nameserver 192.0.2.53\n", 0644);
    const std::string before = netns_test::dump_resolver();
    EXPECT_FALSE(SetAdapterDNS("tun0", "10.8.0.53\nsearch attacker.test", nullptr));
    EXPECT_TRUE(log_.has("set dns failed, errNo=22", "SetAdapterDNS")) << log_.dump();
    EXPECT_EQ(netns_test::dump_resolver(), before);
    EXPECT_TRUE(SetAdapterDNS("tun0", "", nullptr));
    EXPECT_EQ(netns_test::dump_resolver(), before);
    restore_dns();
    EXPECT_EQ(netns_test::dump_resolver(), before);
}

TEST_F(DnsTest, AResolvconfProgramGetsTheServersInsteadOfTheFile) {
    write_file(RESOLV_CONF, "nameserver 192.0.2.53\n", 0644);
    const std::string before = netns_test::dump_resolver();
    const std::string calls = netns_test::scratch_dir() + "/resolvconf-calls";
    const std::string program = netns_test::private_bin_dir() + "/resolvconf";
    auto install = [&](int exit_status) {
        write_file(program,
                   "#!/bin/sh\nPATH=/usr/bin:/bin\necho \"$@\" >>" + calls + "\ncat >>" + calls +
                       "\nexit " + std::to_string(exit_status) + "\n",
                   0755);
        unlink(calls.c_str());
    };

    install(0);
    ASSERT_TRUE(SetAdapterDNS("tun0", "10.8.0.53", "10.8.0.54"));
    EXPECT_EQ(test_support::read_file(calls), std::string("-a tun0\n") + SERVERS);
    EXPECT_EQ(netns_test::dump_resolver(), before);
    restore_dns();
    EXPECT_EQ(test_support::read_file(calls), std::string("-a tun0\n") + SERVERS + "-d tun0\n");

    install(3);
    EXPECT_FALSE(SetAdapterDNS("tun0", "10.8.0.53", "10.8.0.54"));
    EXPECT_TRUE(log_.has("set dns failed, errNo=3", "SetAdapterDNS")) << log_.dump();
    restore_dns();  // nothing was registered: nothing to take back
    EXPECT_EQ(test_support::read_file(calls), std::string("-a tun0\n") + SERVERS);
    EXPECT_EQ(netns_test::dump_resolver(), before);
}

// A process that ended, or is only a zombie waiting for its parent.
bool gone(pid_t pid) {
    if (kill(pid, 0) != 0) {
        return errno == ESRCH;
    }
    std::string stat = test_support::read_file("/proc/" + std::to_string(pid) + "/stat");
    size_t end = stat.rfind(')');
    return end != std::string::npos && stat.compare(end + 2, 1, "Z") == 0;
}

TEST_F(DnsTest, AHungResolvconfIsKilledWithWhatItStarted) {
    write_file(RESOLV_CONF, "nameserver 192.0.2.53\n", 0644);
    const std::string before = netns_test::dump_resolver();
    const std::string pids = netns_test::scratch_dir() + "/resolvconf-pids";
    const std::string calls = netns_test::scratch_dir() + "/resolvconf-calls";
    const std::string program = netns_test::private_bin_dir() + "/resolvconf";
    unlink(pids.c_str());
    write_file(program,
               "#!/bin/sh\nPATH=/usr/bin:/bin\necho $$ >" + pids + "\nsleep 40 &\necho $! >>" +
                   pids + "\nwait\n",
               0755);

    const auto started = std::chrono::steady_clock::now();
    EXPECT_FALSE(SetAdapterDNS("tun0", "10.8.0.53", "10.8.0.54"));
    const auto took = std::chrono::steady_clock::now() - started;
    EXPECT_LT(took, std::chrono::seconds(15));
    EXPECT_TRUE(
        log_.has("resolvconf did not finish within 10000 ms and was killed", "wait_bounded"))
        << log_.dump();
    EXPECT_TRUE(log_.has("set dns failed, errNo=" + std::to_string(ETIMEDOUT), "SetAdapterDNS"));
    std::istringstream started_pids(test_support::read_file(pids));
    int count = 0;
    for (pid_t pid; started_pids >> pid; ++count) {
        EXPECT_TRUE(test_support::wait_until([pid] { return gone(pid); })) << pid;
    }
    EXPECT_EQ(count, 2);

    // It may have registered the servers before it hung: the unwind takes them back.
    write_file(program,
               "#!/bin/sh\nPATH=/usr/bin:/bin\necho \"$@\" >>" + calls + "\ncat >/dev/null\n",
               0755);
    unlink(calls.c_str());
    restore_dns();
    EXPECT_EQ(test_support::read_file(calls), "-d tun0\n");
    EXPECT_EQ(netns_test::dump_resolver(), before);
}

TEST_F(DnsTest, AResolvconfReachedThroughARelativePathEntryIsNeverRun) {
    write_file(RESOLV_CONF, "nameserver 192.0.2.53\n", 0644);
    const std::string before = netns_test::dump_resolver();
    const std::string work = netns_test::scratch_dir() + "/work";
    const std::string calls = netns_test::scratch_dir() + "/relative-calls";
    mkdir(work.c_str(), 0700);
    mkdir((work + "/bin").c_str(), 0700);
    write_file(work + "/bin/resolvconf", "#!/bin/sh\necho \"$@\" >>" + calls + "\n", 0755);
    unlink(calls.c_str());
    char saved_dir[4096] = {};
    ASSERT_NE(getcwd(saved_dir, sizeof(saved_dir)), nullptr);
    const std::string saved_path = std::getenv("PATH");

    ASSERT_EQ(chdir(work.c_str()), 0);
    setenv("PATH", ("bin::." + std::string(":") + saved_path).c_str(), 1);
    const bool set = SetAdapterDNS("tun0", "10.8.0.53", "10.8.0.54");
    setenv("PATH", saved_path.c_str(), 1);
    ASSERT_EQ(chdir(saved_dir), 0);

    EXPECT_TRUE(set);
    EXPECT_NE(access(calls.c_str(), F_OK), 0) << "ran " << work << "/bin/resolvconf";
    EXPECT_EQ(test_support::read_file(RESOLV_CONF), SERVERS);
    restore_dns();
    EXPECT_EQ(netns_test::dump_resolver(), before);
}

std::set<std::string> journal_names() {
    std::set<std::string> names;
    if (DIR* dir = opendir(std::getenv("QUARNEL_JOURNAL_DIR"))) {
        while (dirent* entry = readdir(dir)) {
            names.insert(entry->d_name);
        }
        closedir(dir);
    }
    return names;
}

TEST_F(DnsTest, TheResolverFileOfASessionWhoseNamespaceIsGoneIsPutBackFromAnother) {
    write_file(RESOLV_CONF, "nameserver 192.0.2.53\n", 0644);
    const std::string before = netns_test::dump_resolver();
    const std::set<std::string> earlier = journal_names();
    std::string dead_net;
    {
        netns_test::netns gone;
        netns_test::netns_scope inside(gone);
        dead_net = current_host_identity().net;
        host_journal killed;  // closed without its unwind, as by a kill
        ASSERT_TRUE(killed.begin());
        host_change change;
        change.kind = host_change_kind::resolver_file;
        change.after = SERVERS;
        ASSERT_EQ(read_resolver_file(&change.found), 0);
        uint64_t id = 0;
        ASSERT_TRUE(killed.record(change, &id));
        ASSERT_EQ(write_resolver_file(SERVERS), 0);
    }
    std::set<std::string> left = journal_names();
    for (const std::string& name : earlier) {
        left.erase(name);
    }
    ASSERT_EQ(left.size(), 1u);
    const std::string path = std::string(std::getenv("QUARNEL_JOURNAL_DIR")) + "/" + *left.begin();
    {
        // A namespace made later has an identity of its own, whichever inode it is given.
        netns_test::netns next;
        netns_test::netns_scope inside(next);
        EXPECT_NE(current_host_identity().net, dead_net);
    }

    EXPECT_EQ(replay_host_journals(), 1);
    EXPECT_EQ(netns_test::dump_resolver(), before);
    // Its other changes were never this namespace's: it stays, the resolver file settled.
    parsed_journal journal;
    ASSERT_TRUE(parse_journal(test_support::read_file(path), &journal));
    ASSERT_EQ(journal.records.size(), 1u);
    EXPECT_TRUE(journal.records[0].settled);
    write_file(RESOLV_CONF, SERVERS, 0644);
    EXPECT_EQ(replay_host_journals(), 0);
    EXPECT_EQ(test_support::read_file(RESOLV_CONF), SERVERS);
    unlink(path.c_str());
}

}  // namespace
