// One session's record of what it changed on the host and how to put it back. Each change is
// written to disk before it is made, so that a later process can undo what a killed session
// left; a stop puts the changes back newest first.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <initializer_list>
#include <mutex>
#include <string>
#include <vector>

#include "journal_replay.h"
#include "route_row.h"

enum class host_change_kind : uint8_t {
    route,                  // a route carrying the engine's tag
    forwarding,             // the IPv4 forwarding switch
    resolver_file,          // the resolver file rewritten
    resolver_registration,  // servers registered with the resolver manager
    interface_metric,       // the metric policy of an interface
    resolver_link,          // a link's servers in systemd-resolved
    resolver_global,        // NetworkManager's global DNS configuration
    route6,                 // an IPv6 route carrying the engine's tag
};

// The resolver file as a session found it.
struct resolver_file_state {
    enum kind_t : char { absent = 'n', file = 'f', link = 'l' };
    kind_t kind = absent;
    uint32_t mode = 0;  // file: permission bits
    std::string data;   // file: content; link: target
};

struct host_change {
    host_change_kind kind = host_change_kind::route;
    route_row route;            // route
    bool server_route = false;  // route: the host route to the server
    route6_row route6;          // route6
    std::string before;         // forwarding: the value found
    std::string after;          // forwarding: the value set; resolver_file: the content
                                // written; resolver_link, resolver_global: the servers set,
                                // comma-separated
    resolver_file_state found;  // resolver_file
    std::string name;           // resolver_registration: the name registered
    int32_t if_index = 0;       // resolver_link; interface_metric: this boot's, not kept
    interface_metric_setting metric_before;  // interface_metric
};

// Where and in which boot a journal was written. The resolver file belongs to the /etc it lies
// in, whichever namespace changed it; every other change to the network namespace.
struct host_identity {
    std::string boot;
    std::string net;  // the namespace's cookie, never reused; empty when it is not known
    std::string etc;
};

// The routes a session may hold recorded at once (made, or about to be, and not yet put back
// or gone): the remote routes it keeps (10,000) and room for those the engine adds of its own.
constexpr size_t MAX_SESSION_ROUTES = 10010;
// Past this size a journal is written anew with only what is outstanding, so that a long
// session whose routes come and go stays far below what a replay reads.
constexpr size_t JOURNAL_COMPACT_SIZE = 4 << 20;
// What every system's journal store names alike: the variable that moves the journals (tests
// keep theirs private), the files' names, and the size past which a journal is not read.
constexpr char JOURNAL_DIR_VARIABLE[] = "QUARNEL_JOURNAL_DIR";
constexpr char JOURNAL_PREFIX[] = "session-";
constexpr char JOURNAL_SUFFIX[] = ".journal";
constexpr char JOURNAL_TEMP_PREFIX[] = ".session-";
constexpr size_t MAX_JOURNAL_SIZE = 16 << 20;

// A directory entry of the journal store: a journal, one being made (a session that died before
// it was named, or one still being made), or something else, which the stores leave alone.
enum class journal_entry { other, journal, unnamed };
journal_entry journal_entry_of(const std::string& name);

struct journal_record {
    uint64_t id = 0;
    host_change change;
    bool settled = false;  // not made, or already put back
};

struct parsed_journal {
    host_identity identity;
    std::vector<journal_record> records;  // in the order they were written
};

// Reads a journal's text. False when its header is unreadable; a line that is torn or fails
// its checks is skipped, so that no damaged record can lead to an undo.
bool parse_journal(const std::string& text, parsed_journal* out);

// The journal's lines, as written to disk.
std::string journal_header_line(const host_identity& identity);
std::string journal_record_line(uint64_t id, const host_change& change);
std::string journal_settle_line(uint64_t id);

class host_journal {
  public:
    host_journal() = default;
    ~host_journal();
    host_journal(const host_journal&) = delete;
    host_journal& operator=(const host_journal&) = delete;

    // Starts an empty journal on disk; false (logged) when it cannot be kept there.
    bool begin();
    bool active();

    // Makes the changes about to be made durable; false (logged) when they are not on disk,
    // or when a replay could not read one of them back, or when the session would hold more
    // than MAX_SESSION_ROUTES: then none of them may be made. Ids in the same order.
    bool record(const std::vector<host_change>& changes, std::vector<uint64_t>* ids);
    bool record(const host_change& change, uint64_t* id);
    // The change was not made, or was put back by its step itself.
    void settle(uint64_t id);

    // Outstanding changes of one kind, oldest first.
    std::vector<journal_record> outstanding(host_change_kind kind);

    // Puts back outstanding changes newest first (only those of the given kinds when some are
    // given); the number that could not be put back.
    int unwind(std::initializer_list<host_change_kind> kinds = {});
    // Unwinds everything and closes the journal; its file goes only when nothing is left.
    void end();

  private:
    bool append(const std::string& lines, bool durable);
    void mark_settled(journal_record* record);
    void compact_if_large();

    std::mutex lock_;
    void* store_ = nullptr;
    std::string header_;
    size_t size_ = 0;  // of the journal on disk
    size_t compact_at_ = JOURNAL_COMPACT_SIZE;
    std::vector<journal_record> records_;
    size_t routes_held_ = 0;
    uint64_t next_id_ = 1;
};

// The journal of the session of this process (one session at a time).
host_journal& session_journal();

// Platform layer.
// Where and in which boot the calling thread works.
host_identity current_host_identity();
// Puts one change back where the host still shows it as the session left it: 0 (also when
// there was nothing left to put back) or an errno-style error.
int undo_host_change(const host_change& change);
// A new journal file holding the header, locked for the life of the process; null (with
// *error) on failure.
void* journal_store_create(const std::string& header, int* error);
int journal_store_append(void* store, const std::string& lines, bool durable);
void journal_store_close(void* store, bool remove);
// Calls back with the text of each journal whose process has ended; the file is removed when
// the callback returns true, else the lines it leaves in *settled are added to it. 0, or an
// errno value when some journals cannot be read (those stay).
int journal_store_for_each_orphan(
    const std::function<bool(const std::string& text, std::string* settled)>& handle);
