// The record of host changes on disk: locked for the life of its session, replayed once its
// process has ended, on this machine only.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "host_journal.h"
#include "win_test_support.h"

namespace {

std::vector<MIB_IPFORWARD_ROW2> deleted;
DWORD refused_destination = 0;  // its deletion fails with access denied

DWORD WINAPI fake_delete_route(const MIB_IPFORWARD_ROW2* row) {
    if (row->DestinationPrefix.Prefix.Ipv4.sin_addr.s_addr == refused_destination) {
        return ERROR_ACCESS_DENIED;
    }
    deleted.push_back(*row);
    return NO_ERROR;
}

host_change route_to(uint32_t dest) {
    host_change route;
    route.kind = host_change_kind::route;
    route.route = route_row{htonl(dest), 24, htonl(0x0A080001), 21, 7};
    return route;
}

std::vector<std::string> files_in(const std::string& dir) {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(dir)) {
        names.push_back(entry.path().filename().string());
    }
    return names;
}

TEST(JournalStore, HeldJournalIsLeftAloneAndAnEndedOneIsReplayedOnThisMachineOnly) {
    win_test::temp_dir dir;
    win_test::calls_restored restore;
    win().InitializeIpForwardEntry = win_test::initialize_forward_row;
    win().DeleteIpForwardEntry2 = fake_delete_route;
    SetEnvironmentVariableA("QUARNEL_JOURNAL_DIR", dir.path().c_str());

    const host_identity here = current_host_identity();
    EXPECT_FALSE(here.net.empty());  // MachineGuid
    EXPECT_FALSE(here.etc.empty());  // ComputerName

    const host_change route = route_to(0xC6336400);
    int error = 0;
    void* live = journal_store_create(journal_header_line(here), &error);
    ASSERT_NE(live, nullptr) << error;
    ASSERT_EQ(journal_store_append(live, journal_record_line(1, route), true), 0);
    // Another machine's journal in the same folder (a shared program folder) is not ours.
    host_identity elsewhere = here;
    elsewhere.net = "{another-machine}";
    void* foreign = journal_store_create(journal_header_line(elsewhere), &error);
    ASSERT_NE(foreign, nullptr) << error;
    ASSERT_EQ(journal_store_append(foreign, journal_record_line(1, route), true), 0);
    journal_store_close(foreign, false);
    std::ofstream(dir.path() + "\\.session-cut-short") << "torn";
    std::ofstream(dir.path() + "\\notes.txt") << "not a journal";

    // Locked by its live session: not replayed, not removed.
    EXPECT_EQ(replay_host_journals(), 0);
    EXPECT_TRUE(deleted.empty());
    EXPECT_EQ(files_in(dir.path()).size(), 3u);  // live, foreign, notes.txt

    journal_store_close(live, false);  // as a killed process leaves it
    EXPECT_EQ(replay_host_journals(), 1);
    ASSERT_EQ(deleted.size(), 1u);
    EXPECT_EQ(deleted[0].InterfaceIndex, 21u);
    EXPECT_EQ(deleted[0].DestinationPrefix.Prefix.Ipv4.sin_addr.s_addr, htonl(0xC6336400));
    EXPECT_EQ(deleted[0].DestinationPrefix.PrefixLength, 24);
    EXPECT_EQ(files_in(dir.path()).size(), 2u);  // foreign and notes.txt stay

    SetEnvironmentVariableA("QUARNEL_JOURNAL_DIR", nullptr);
}

TEST(JournalStore, WhatAReplayPutBackIsMarkedSoTheNextOneDoesOnlyTheRest) {
    win_test::temp_dir dir;
    win_test::calls_restored restore;
    win().InitializeIpForwardEntry = win_test::initialize_forward_row;
    win().DeleteIpForwardEntry2 = fake_delete_route;
    SetEnvironmentVariableA("QUARNEL_JOURNAL_DIR", dir.path().c_str());
    deleted.clear();
    int error = 0;
    void* ended = journal_store_create(journal_header_line(current_host_identity()), &error);
    ASSERT_NE(ended, nullptr) << error;
    ASSERT_EQ(journal_store_append(ended,
                                   journal_record_line(1, route_to(0xC6336400)) +
                                       journal_record_line(2, route_to(0xCB007100)),
                                   true),
              0);
    journal_store_close(ended, false);

    refused_destination = htonl(0xC6336400);
    EXPECT_EQ(replay_host_journals(), -1);
    ASSERT_EQ(deleted.size(), 1u);  // newest first; the older one refused
    EXPECT_EQ(files_in(dir.path()).size(), 1u);

    refused_destination = 0;
    EXPECT_EQ(replay_host_journals(), 1);
    ASSERT_EQ(deleted.size(), 2u);  // the one put back before is not deleted again
    EXPECT_EQ(deleted[1].DestinationPrefix.Prefix.Ipv4.sin_addr.s_addr, htonl(0xC6336400));
    EXPECT_TRUE(files_in(dir.path()).empty());
    SetEnvironmentVariableA("QUARNEL_JOURNAL_DIR", nullptr);
}

}  // namespace
