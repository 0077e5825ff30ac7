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
#include <thread>

#include "host_journal.h"
#include "log_capture.h"
#include "netcard_tool.h"
#include "netns.h"
#include "resolver.h"
#include "test_support.h"

namespace {

const char RESOLV_CONF[] = "/etc/resolv.conf";
const char SERVERS[] = "nameserver 10.8.0.53\nnameserver 10.8.0.54\n";
const char OPENRESOLV_CONF[] = "/etc/resolvconf.conf";

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
        for (const char* program : {"/resolvconf", "/resolvectl"}) {
            unlink((netns_test::private_bin_dir() + program).c_str());
        }
        unlink(OPENRESOLV_CONF);
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

    // openresolv makes the registration exclusive.
    install(0);
    write_file(OPENRESOLV_CONF, "# openresolv\n", 0644);
    ASSERT_TRUE(SetAdapterDNS("tun0", "10.8.0.53", "10.8.0.54"));
    EXPECT_TRUE(log_.has(
        "DNS through resolvconf on tun0: " + program + " registers the servers exclusively",
        "SetAdapterDNS"))
        << log_.dump();
    restore_dns();
    EXPECT_EQ(test_support::read_file(calls), std::string("-x -a tun0\n") + SERVERS + "-d tun0\n");
    unlink(OPENRESOLV_CONF);

    install(3);
    EXPECT_FALSE(SetAdapterDNS("tun0", "10.8.0.53", "10.8.0.54"));
    EXPECT_TRUE(log_.has("set dns failed, errNo=3", "SetAdapterDNS")) << log_.dump();
    restore_dns();  // nothing was registered: nothing to take back
    EXPECT_EQ(test_support::read_file(calls), std::string("-a tun0\n") + SERVERS);
    EXPECT_EQ(netns_test::dump_resolver(), before);
}

TEST(ResolverChoice, EachHostGetsTheBackendThatServesItsResolverFile) {
    resolver_facts resolved;
    resolved.resolved_on_bus = true;
    resolved.resolv_conf_is_resolved = true;
    resolver_facts resolved_unused = resolved;  // running, but the file is not its own
    resolved_unused.resolv_conf_is_resolved = false;
    resolver_facts shim_only;  // resolved's resolvconf installed, resolved not running
    shim_only.resolvconf = "/usr/sbin/resolvconf";
    shim_only.resolvconf_is_resolved = true;
    resolver_facts nm;
    nm.nm_on_bus = true;
    nm.nm_mode = "default";
    nm.nm_rc_manager = "file";
    resolver_facts nm_unmanaged = nm;
    nm_unmanaged.nm_rc_manager = "unmanaged";
    nm_unmanaged.resolvconf = "/sbin/resolvconf";
    resolver_facts nm_no_dns = nm;
    nm_no_dns.nm_mode = "none";
    resolver_facts nm_over_resolved = resolved;
    nm_over_resolved.nm_on_bus = true;
    nm_over_resolved.nm_mode = "systemd-resolved";
    nm_over_resolved.nm_rc_manager = "symlink";
    const struct {
        const char* what;
        const resolver_facts& facts;
        const char* forced;
        bool chosen;
        resolver_backend backend;
        const char* said;  // in the reason, or in the error when none is chosen
    } rows[] = {
        {"resolved", resolved, nullptr, true, resolver_backend::resolved, "is its own"},
        {"resolved unused", resolved_unused, nullptr, true, resolver_backend::file, "nothing else"},
        {"shim only", shim_only, nullptr, true, resolver_backend::file, "systemd-resolved's"},
        {"NetworkManager", nm, nullptr, true, resolver_backend::network_manager, "rc-manager file"},
        {"NM unmanaged", nm_unmanaged, nullptr, true, resolver_backend::resolvconf,
         "puts the tunnel's interface first"},
        {"NM without DNS", nm_no_dns, nullptr, true, resolver_backend::file, "nothing else"},
        {"NM over resolved", nm_over_resolved, nullptr, true, resolver_backend::resolved,
         "is its own"},
        {"forced file", resolved, "file", true, resolver_backend::file,
         "chosen by QUARNEL_DNS_BACKEND"},
        {"forced empty", nm, "", true, resolver_backend::network_manager, "rc-manager"},
        {"forced resolvconf", resolved, "resolvconf", false, resolver_backend::file,
         "no resolvconf program"},
        {"forced unknown", resolved, "Resolved", false, resolver_backend::file,
         "unknown DNS backend 'Resolved'"},
    };
    for (const auto& row : rows) {
        resolver_choice choice;
        std::string error;
        ASSERT_EQ(choose_resolver(row.facts, row.forced, &choice, &error), row.chosen) << row.what;
        const std::string& said = row.chosen ? choice.reason : error;
        EXPECT_NE(said.find(row.said), std::string::npos) << row.what << ": " << said;
        if (row.chosen) {
            EXPECT_EQ(choice.backend, row.backend) << row.what;
        }
    }
}

TEST_F(DnsTest, SystemdResolvedsResolvconfIsNeverRunWithoutIt) {
    write_file(RESOLV_CONF, "nameserver 192.0.2.53\n", 0644);
    const std::string before = netns_test::dump_resolver();
    const std::string calls = netns_test::scratch_dir() + "/resolvectl-calls";
    const std::string shim = netns_test::private_bin_dir() + "/resolvectl";
    write_file(shim, "#!/bin/sh\necho \"$@\" >>" + calls + "\nexit 1\n", 0755);
    ASSERT_EQ(symlink(shim.c_str(), (netns_test::private_bin_dir() + "/resolvconf").c_str()), 0);
    unlink(calls.c_str());

    ASSERT_TRUE(SetAdapterDNS("tun0", "10.8.0.53", "10.8.0.54"));
    EXPECT_EQ(test_support::read_file(RESOLV_CONF), SERVERS);
    restore_dns();
    EXPECT_EQ(netns_test::dump_resolver(), before);
    // A registration through it whose link went with a killed session is done, not failed.
    host_change registration;
    registration.kind = host_change_kind::resolver_registration;
    registration.name = "tun9";
    EXPECT_EQ(undo_host_change(registration), 0);
    EXPECT_NE(access(calls.c_str(), F_OK), 0) << test_support::read_file(calls);
}

TEST_F(DnsTest, AFileRewrittenByAnotherProgramIsWrittenAgainUntilTheStop) {
    write_file(RESOLV_CONF, "nameserver 192.0.2.53\n", 0644);
    const std::string before = netns_test::dump_resolver();
    ASSERT_TRUE(SetAdapterDNS("tun0", "10.8.0.53", "10.8.0.54"));
    // As a network manager writes it: a new file renamed over the old one, twice.
    for (int round = 0; round < 2; ++round) {
        write_file("/etc/resolv.conf.manager", "nameserver 192.0.2.99\n", 0644);
        ASSERT_EQ(rename("/etc/resolv.conf.manager", RESOLV_CONF), 0);
        EXPECT_TRUE(test_support::wait_until([] {
            return test_support::read_file(RESOLV_CONF) == SERVERS;
        })) << test_support::read_file(RESOLV_CONF);
    }
    EXPECT_EQ(log_.count("resolver file rewritten by another program while the session runs: "
                         "written again"),
              1)
        << log_.dump();
    restore_dns();
    EXPECT_EQ(netns_test::dump_resolver(), before);
    // Stopped with the session: a later rewrite stays.
    write_file(RESOLV_CONF, "nameserver 192.0.2.99\n", 0644);
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    EXPECT_EQ(test_support::read_file(RESOLV_CONF), "nameserver 192.0.2.99\n");
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
