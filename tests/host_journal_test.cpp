// The journal of host changes: what survives a torn write or hostile content, and which
// journals a replay takes. Only records whose undo cannot touch this host are replayed here
// (the metric of an interface that does not exist); the network tests replay the rest.
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "host_journal.h"
#include "ipv4_text.h"
#include "log_capture.h"
#include "test_support.h"

namespace {

constexpr int32_t ABSENT_INTERFACE = 2147483000;

host_change route_change(const char* dest, uint8_t len, const char* gateway, bool server) {
    host_change change;
    change.kind = host_change_kind::route;
    change.route.dest = ipv4_from_text(dest);
    change.route.prefix_len = len;
    change.route.gateway = ipv4_from_text(gateway);
    change.route.if_index = 7;
    change.route.metric = 1;
    change.server_route = server;
    return change;
}

// An interface whose metric was fixed by hand before the session.
host_change metric_change(int32_t interface_id) {
    host_change change;
    change.kind = host_change_kind::interface_metric;
    change.metric_before = {static_cast<uint64_t>(interface_id), false, 25};
    return change;
}

// An independent seal of a line, so that the test can forge records the engine never writes.
std::string forged(const std::string& text) {
    uint64_t hash = 14695981039346656037ull;
    for (unsigned char c : text) {
        hash = (hash ^ c) * 1099511628211ull;
    }
    char digits[17];
    std::snprintf(digits, sizeof(digits), "%016llx", static_cast<unsigned long long>(hash));
    return text + " #" + digits + "\n";
}

const host_identity HERE{"boot-a", "4097", "3:4"};

TEST(HostJournalText, EveryKindReadsBackAsWrittenAndSettledOnesAreMarked) {
    host_change forwarding;
    forwarding.kind = host_change_kind::forwarding;
    forwarding.before = "0";
    forwarding.after = "1";
    host_change file;
    file.kind = host_change_kind::resolver_file;
    file.found = {resolver_file_state::file, 0604,
                  std::string("search x\n\0nameserver 1.2.3.4", 29)};
    file.after = "nameserver 10.8.0.1\n";
    host_change link;
    link.kind = host_change_kind::resolver_file;
    link.found = {resolver_file_state::link, 0, "../run/resolvconf/resolv.conf"};
    link.after = "nameserver 10.8.0.1\n";
    host_change registration;
    registration.kind = host_change_kind::resolver_registration;
    registration.name = "tun0";
    host_change resolved;
    resolved.kind = host_change_kind::resolver_link;
    resolved.if_index = 12;
    resolved.after = "10.8.0.1,fd00::53";
    host_change global;
    global.kind = host_change_kind::resolver_global;
    global.after = "10.8.0.1";
    host_change upper_half;
    upper_half.kind = host_change_kind::route6;
    upper_half.route6.dest[0] = 0x80;
    upper_half.route6.prefix_len = 1;
    upper_half.route6.if_index = 7;
    host_change server6 = upper_half;
    server6.route6.dest[0] = 0xfd;
    server6.route6.dest[15] = 1;
    server6.route6.prefix_len = 128;
    server6.route6.gateway[0] = 0xfe;
    server6.route6.gateway[1] = 0x80;
    server6.route6.gateway[15] = 1;

    const std::string text =
        journal_header_line(HERE) +
        journal_record_line(1, route_change("198.51.100.0", 24, "172.30.0.1", false)) +
        journal_record_line(2, route_change("203.0.113.10", 32, "172.30.0.1", true)) +
        journal_record_line(3, forwarding) + journal_record_line(4, file) +
        journal_record_line(5, link) + journal_record_line(6, registration) +
        journal_record_line(7, metric_change(9)) + journal_record_line(8, resolved) +
        journal_record_line(9, global) + journal_record_line(10, upper_half) +
        journal_record_line(11, server6) + journal_settle_line(2);
    parsed_journal journal;
    ASSERT_TRUE(parse_journal(text, &journal));
    EXPECT_EQ(journal.identity.boot, "boot-a");
    EXPECT_EQ(journal.identity.net, "4097");
    EXPECT_EQ(journal.identity.etc, "3:4");
    ASSERT_EQ(journal.records.size(), 11u);
    const host_change& route = journal.records[0].change;
    EXPECT_EQ(ipv4_to_text(route.route.dest), "198.51.100.0");
    EXPECT_EQ(route.route.prefix_len, 24);
    EXPECT_EQ(ipv4_to_text(route.route.gateway), "172.30.0.1");
    EXPECT_EQ(route.route.if_index, 7);
    EXPECT_EQ(route.route.metric, 1u);
    EXPECT_FALSE(route.server_route);
    EXPECT_TRUE(journal.records[1].change.server_route);
    EXPECT_TRUE(journal.records[1].settled);
    EXPECT_FALSE(journal.records[0].settled);
    EXPECT_EQ(journal.records[2].change.before, "0");
    EXPECT_EQ(journal.records[2].change.after, "1");
    EXPECT_EQ(journal.records[3].change.found.kind, resolver_file_state::file);
    EXPECT_EQ(journal.records[3].change.found.mode, 0604u);
    EXPECT_EQ(journal.records[3].change.found.data, file.found.data);  // a NUL byte included
    EXPECT_EQ(journal.records[3].change.after, file.after);
    EXPECT_EQ(journal.records[4].change.found.kind, resolver_file_state::link);
    EXPECT_EQ(journal.records[4].change.found.data, link.found.data);
    EXPECT_EQ(journal.records[5].change.name, "tun0");
    EXPECT_EQ(journal.records[6].change.metric_before.interface_id, 9u);
    EXPECT_FALSE(journal.records[6].change.metric_before.automatic);
    EXPECT_EQ(journal.records[6].change.metric_before.metric, 25u);
    EXPECT_EQ(journal.records[7].change.if_index, 12);
    EXPECT_EQ(journal.records[7].change.after, resolved.after);
    EXPECT_EQ(journal.records[8].change.kind, host_change_kind::resolver_global);
    EXPECT_EQ(journal.records[8].change.after, global.after);
    const host_change& route6 = journal.records[9].change;
    EXPECT_EQ(route6.kind, host_change_kind::route6);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(route6.route6.dest), 16),
              std::string("\x80") + std::string(15, '\0'));
    EXPECT_EQ(route6.route6.prefix_len, 1);
    EXPECT_EQ(route6.route6.if_index, 7);
    EXPECT_FALSE(has_gateway(route6.route6));
    const route6_row& pinned = journal.records[10].change.route6;
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(pinned.gateway), 16),
              std::string(reinterpret_cast<const char*>(server6.route6.gateway), 16));
    EXPECT_EQ(pinned.prefix_len, 128);

    // The earlier format named the namespace by a reusable inode: read as an unknown one.
    const std::string records = text.substr(text.find('\n') + 1);
    parsed_journal earlier;
    ASSERT_TRUE(
        parse_journal(forged("quarnel-journal 1 boot-a 4:4026532000 3:4") + records, &earlier));
    EXPECT_EQ(earlier.identity.net, "");
    EXPECT_EQ(earlier.identity.etc, "3:4");
    EXPECT_EQ(earlier.records.size(), journal.records.size());
    ASSERT_TRUE(parse_journal(journal_header_line({"boot-a", "", "3:4"}) + records, &earlier));
    EXPECT_EQ(earlier.identity.net, "");
}

TEST(HostJournalText, ATornLastLineAndDamagedLinesAreSkipped) {
    const std::string header = journal_header_line(HERE);
    const std::string first = journal_record_line(1, metric_change(5));
    std::string damaged = journal_record_line(2, metric_change(6));
    damaged[damaged.find(" 6 ") + 1] = '8';  // a bit flipped: the checksum no longer holds
    const std::string third = journal_record_line(3, metric_change(7));
    std::string torn = journal_record_line(4, metric_change(8));
    torn.pop_back();  // the kill came before the newline

    parsed_journal journal;
    ASSERT_TRUE(parse_journal(header + first + damaged + third + torn, &journal));
    ASSERT_EQ(journal.records.size(), 2u);
    EXPECT_EQ(journal.records[0].change.metric_before.interface_id, 5u);
    EXPECT_EQ(journal.records[1].change.metric_before.interface_id, 7u);

    // A settle line cut short leaves its record outstanding, which only repeats an undo.
    std::string settle = journal_settle_line(1);
    settle.resize(settle.size() - 3);
    ASSERT_TRUE(parse_journal(header + first + settle, &journal));
    EXPECT_FALSE(journal.records[0].settled);

    // Without a whole header nothing is trusted.
    std::string bad_header = header;
    bad_header[2] = 'X';
    EXPECT_FALSE(parse_journal(bad_header + first, &journal));
    EXPECT_FALSE(parse_journal(header.substr(0, header.size() - 1), &journal));
    EXPECT_FALSE(parse_journal("", &journal));
}

TEST(HostJournalText, HostileRecordsCannotNameWhatTheEngineNeverChanged) {
    const std::string header = journal_header_line(HERE);
    const char* hostile[] = {
        "R 1 route 0a000001 8 ac1e0001 7 0 0",   // bits beyond the prefix
        "R 1 route 0a000000 33 ac1e0001 7 0 0",  // no such prefix
        "R 1 route 0a000000 8 ac1e0001 0 0 0",   // no interface
        "R 1 route 0a000000 8 ac1e0001 -7 0 0",  // negative interface
        "R 1 route 0a000000 8 ac1e0001 7 0 0 extra",
        "R 1 route6 80000000000000000000000000000001 1 7",  // bits beyond the prefix
        "R 1 route6 00000000000000000000000000000000 129 7",
        "R 1 route6 8000000000000000000000000000000 1 7",  // a digit short
        "R 1 route6 - 0 7",
        "R 1 route6 00000000000000000000000000000000 1 0",
        "R 1 route6 00000000000000000000000000000000 1 7 fe80",  // a gateway cut short
        "R 1 forwarding 0 2",
        "R 1 forwarding 1; 0",
        "R 1 resolver-file f 4755 - 6e",  // set-id bits
        "R 1 resolver-file l 0 - 6e",     // a link to nowhere
        "R 1 resolver-file l 0 2f00 6e",  // a NUL inside the target
        "R 1 resolver-file n 0 6e 6e",    // an absent file with content
        "R 1 resolver-file f 644 - -",    // nothing written
        "R 1 resolver-file f 644 6 6e",   // odd hexadecimal
        "R 1 resolver-file f 644 6G 6e",
        "R 1 resolver-registration -d",
        "R 1 resolver-registration ../../etc",
        "R 1 resolver-registration .hidden",
        "R 1 resolver-registration averyveryverylongname",
        "R 1 resolver-registration tun0 eth0",
        "R 1 interface-metric 0 1 0",  // no interface
        "R 1 interface-metric 9 2 0",
        "R 1 interface-metric 9 0 4294967296",
        "R 1 interface-metric 9 1",         // the previous metric missing
        "R 1 resolver-link 0 10.8.0.1",     // no interface
        "R 1 resolver-link 7 10.8.0.1;rm",  // not an address
        "R 1 resolver-link 7 10.8.0.1,10.8.0.2,10.8.0.3",
        "R 1 resolver-link 7 10.8.0.1,",
        "R 1 resolver-global --servers",
        "R 1 resolver-global 10.8.0.1 10.8.0.2",
        "R 1 no-such-kind 1",
        "R x route 0a000000 8 ac1e0001 7 0 0",
        "R 99999999999999999999999 interface-metric 9 1 0",
    };
    for (const char* line : hostile) {
        parsed_journal journal;
        ASSERT_TRUE(parse_journal(header + forged(line), &journal)) << line;
        EXPECT_TRUE(journal.records.empty()) << line;
    }
    // An id used twice keeps its first meaning; settling an unknown id changes nothing.
    parsed_journal journal;
    ASSERT_TRUE(parse_journal(header + forged("R 1 interface-metric 9 1 0") +
                                  forged("R 1 interface-metric 10 1 0") + forged("U 5"),
                              &journal));
    ASSERT_EQ(journal.records.size(), 1u);
    EXPECT_EQ(journal.records[0].change.metric_before.interface_id, 9u);
    EXPECT_FALSE(journal.records[0].settled);
    // A header that carries more than plain identity words is not trusted.
    EXPECT_FALSE(parse_journal(forged("quarnel-journal 1 a/../b 1:2 3:4"), &journal));
}

class HostJournalStore : public ::testing::Test {
  protected:
    void SetUp() override {
        dir_ = dir_holder_.path().string();
        setenv("QUARNEL_JOURNAL_DIR", dir_.c_str(), 1);
    }
    void TearDown() override {
        session_journal().end();
        unsetenv("QUARNEL_JOURNAL_DIR");
    }

    std::vector<std::string> files() const {
        std::vector<std::string> names;
        for (const auto& entry : std::filesystem::directory_iterator(dir_)) {
            names.push_back(entry.path().filename().string());
        }
        return names;
    }

    void put(const std::string& name, const std::string& text, mode_t mode = 0600) const {
        const std::string path = dir_ + "/" + name;
        std::ofstream(path, std::ios::binary) << text;
        chmod(path.c_str(), mode);
    }

    test_support::temp_dir dir_holder_;
    std::string dir_;
};

// Names that appeared in the watched directory, in order.
std::vector<std::string> names_created(int watch) {
    std::vector<std::string> names;
    alignas(inotify_event) char buffer[4096];
    const ssize_t n = read(watch, buffer, sizeof(buffer));
    for (ssize_t at = 0; at < n;) {
        const auto* event = reinterpret_cast<const inotify_event*>(buffer + at);
        names.push_back(event->name);
        at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
    }
    return names;
}

TEST_F(HostJournalStore, ARecordIsOnDiskBeforeTheStepGoesOnAndAFinishedSessionLeavesNothing) {
    host_journal& journal = session_journal();
    uint64_t id = 0;
    EXPECT_FALSE(journal.record(metric_change(ABSENT_INTERFACE), &id));  // not begun: no change
    const int watch = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    ASSERT_GE(inotify_add_watch(watch, dir_.c_str(), IN_CREATE | IN_MOVED_TO), 0);
    ASSERT_TRUE(journal.begin());
    // Its final name is the only one it ever had: no replay saw it before it was locked.
    EXPECT_EQ(names_created(watch), files());
    close(watch);
    ASSERT_EQ(files().size(), 1u);
    const std::string path = dir_ + "/" + files()[0];
    EXPECT_EQ(files()[0].rfind("session-", 0), 0u);
    ASSERT_TRUE(journal.record(metric_change(ABSENT_INTERFACE), &id));

    parsed_journal on_disk;
    ASSERT_TRUE(parse_journal(test_support::read_file(path), &on_disk));
    EXPECT_EQ(on_disk.identity.net, current_host_identity().net);
    ASSERT_EQ(on_disk.records.size(), 1u);
    EXPECT_EQ(on_disk.records[0].change.metric_before.interface_id,
              static_cast<uint64_t>(ABSENT_INTERFACE));
    EXPECT_EQ(journal.outstanding(host_change_kind::interface_metric).size(), 1u);

    // Held by this live session: no replay takes it.
    EXPECT_EQ(replay_host_journals(), 0);
    EXPECT_EQ(files().size(), 1u);

    journal.end();
    EXPECT_TRUE(files().empty());
}

TEST_F(HostJournalStore, AReplayTakesOnlyJournalsOfEndedSessionsOfThisPlace) {
    const host_identity here = current_host_identity();
    const std::string record = journal_record_line(1, metric_change(ABSENT_INTERFACE));
    put("session-ended.journal", journal_header_line(here) + record);
    put("session-elsewhere.journal",
        journal_header_line({here.boot, "999:999", here.etc}) + record);
    put("session-old-boot.journal",
        journal_header_line({"another-boot", here.net, "999:999"}) + record);
    put("session-writable.journal", journal_header_line(here) + record, 0666);
    put("session-earlier-format.journal",
        forged("quarnel-journal 1 " + here.boot + " 4:4026531840 " + here.etc) + record);
    put(".session-unfinished", journal_header_line(here));
    put("unrelated-file", "kept");
    ASSERT_EQ(symlink("/etc/hostname", (dir_ + "/session-link.journal").c_str()), 0);

    EXPECT_EQ(replay_host_journals(), 1);
    std::vector<std::string> left = files();
    std::sort(left.begin(), left.end());
    EXPECT_EQ(left, (std::vector<std::string>{"session-earlier-format.journal",
                                              "session-elsewhere.journal", "session-link.journal",
                                              "session-writable.journal", "unrelated-file"}));
    EXPECT_EQ(replay_host_journals(), 0);
}

TEST_F(HostJournalStore, ADirectoryOthersCanWriteIsNotTrusted) {
    put("session-ended.journal", journal_header_line(current_host_identity()) +
                                     journal_record_line(1, metric_change(ABSENT_INTERFACE)));
    ASSERT_EQ(chmod(dir_.c_str(), 0777), 0);
    EXPECT_EQ(replay_host_journals(), -1);
    EXPECT_FALSE(session_journal().begin());
    EXPECT_EQ(files(), std::vector<std::string>{"session-ended.journal"});
    ASSERT_EQ(chmod(dir_.c_str(), 0700), 0);
    EXPECT_EQ(replay_host_journals(), 1);
    EXPECT_TRUE(files().empty());
}

TEST_F(HostJournalStore, AnOversizeJournalIsReportedAndKept) {
    put("session-huge.journal", journal_header_line(current_host_identity()) +
                                    journal_record_line(1, metric_change(ABSENT_INTERFACE)));
    ASSERT_EQ(truncate((dir_ + "/session-huge.journal").c_str(), (16 << 20) + 1), 0);
    test_support::log_capture log;
    EXPECT_EQ(replay_host_journals(), -1);
    EXPECT_TRUE(
        log.has("host journal session-huge.journal holds 16777217 bytes, more than the "
                "16777216 a replay reads: left alone"))
        << log.dump();
    EXPECT_EQ(files(), std::vector<std::string>{"session-huge.journal"});
}

TEST_F(HostJournalStore, ChangesAReplayCouldNotPutBackAreRefusedBeforeAnyIsWritten) {
    test_support::log_capture log;
    host_journal journal;  // never ended, as after a kill: nothing is put back here
    ASSERT_TRUE(journal.begin());
    const std::string path = dir_ + "/" + files().at(0);
    host_change large;
    large.kind = host_change_kind::resolver_file;
    large.found = {resolver_file_state::file, 0644, std::string(65537, '#')};
    large.after = "nameserver 10.8.0.1\n";
    std::vector<uint64_t> ids;
    EXPECT_FALSE(journal.record({metric_change(ABSENT_INTERFACE), large}, &ids));
    EXPECT_TRUE(
        log.has("resolver-file change refused, a replay could not read its record back: "
                "the resolver file holds 65537 bytes, more than the 65536 a record keeps"))
        << log.dump();
    large.found.data.pop_back();
    ASSERT_TRUE(journal.record({large}, &ids));

    const host_change route = route_change("198.51.100.0", 24, "172.30.0.1", false);
    ASSERT_TRUE(journal.record(std::vector<host_change>(MAX_SESSION_ROUTES - 1, route), &ids));
    EXPECT_FALSE(journal.record({route, route}, &ids));
    EXPECT_TRUE(log.has("2 routes refused: a session holds at most 10010 routes, it holds 10009"))
        << log.dump();
    ASSERT_TRUE(journal.record({route}, &ids));

    parsed_journal on_disk;
    ASSERT_TRUE(parse_journal(test_support::read_file(path), &on_disk));
    ASSERT_EQ(on_disk.records.size(), 1 + MAX_SESSION_ROUTES);
    EXPECT_EQ(on_disk.records[0].change.found.data, large.found.data);
    EXPECT_EQ(on_disk.records.back().id, ids.at(0));
}

TEST_F(HostJournalStore, ALongSessionWhoseRoutesComeAndGoKeepsItsJournalSmall) {
    host_journal journal;  // never ended: nothing is put back here
    ASSERT_TRUE(journal.begin());
    uint64_t kept = 0;
    ASSERT_TRUE(journal.record(metric_change(ABSENT_INTERFACE), &kept));
    const std::vector<host_change> routes(MAX_SESSION_ROUTES,
                                          route_change("198.51.100.0", 24, "172.30.0.1", false));
    std::vector<uint64_t> ids;
    uintmax_t largest = 0;
    for (int round = 0; round < 8; ++round) {                // about 7 MiB of lines
        ASSERT_TRUE(journal.record(routes, &ids)) << round;  // settled routes are not held
        for (uint64_t id : ids) {
            journal.settle(id);
        }
        ASSERT_EQ(files().size(), 1u);
        largest = std::max(largest, std::filesystem::file_size(dir_ + "/" + files()[0]));
    }
    EXPECT_LT(largest, JOURNAL_COMPACT_SIZE + (1u << 20));
    parsed_journal on_disk;
    ASSERT_TRUE(parse_journal(test_support::read_file(dir_ + "/" + files()[0]), &on_disk));
    ASSERT_FALSE(on_disk.records.empty());
    EXPECT_EQ(on_disk.records[0].id, kept);
    EXPECT_FALSE(on_disk.records[0].settled);
    EXPECT_TRUE(std::all_of(on_disk.records.begin() + 1, on_disk.records.end(),
                            [](const journal_record& record) { return record.settled; }));
}

}  // namespace
