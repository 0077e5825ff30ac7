#include "host_journal.h"

#include <algorithm>
#include <charconv>
#include <cstring>
#include <exception>
#include <sstream>
#include <unordered_map>

#include "engine_log.h"
#include "forwarding.h"
#include "hex_text.h"
#include "platform_net.h"

namespace {

const char MAGIC[] = "quarnel-journal";
// 2: the network namespace by its cookie. 1: by an inode number the kernel hands out again, so
// a journal of that format is taken as one of an unknown namespace.
const char VERSION[] = "2";
const char VERSION_INODE_NET[] = "1";
const char UNKNOWN_NET[] = "-";
constexpr size_t MAX_FIELD_HEX = 2 * 65536;  // a resolver file of at most 64 KiB
constexpr size_t MAX_IDENTITY = 64;
constexpr size_t MAX_NAME = 15;

const char* kind_name(host_change_kind kind) {
    switch (kind) {
        case host_change_kind::route:
            return "route";
        case host_change_kind::forwarding:
            return "forwarding";
        case host_change_kind::resolver_file:
            return "resolver-file";
        case host_change_kind::resolver_registration:
            return "resolver-registration";
        case host_change_kind::interface_metric:
            return "interface-metric";
        case host_change_kind::resolver_link:
            return "resolver-link";
        case host_change_kind::resolver_global:
            return "resolver-global";
        case host_change_kind::route6:
            return "route6";
    }
    return "?";
}

// FNV-1a: enough to tell a torn or damaged line from a whole one.
std::string checksum(const std::string& text) {
    uint64_t hash = 14695981039346656037ull;
    for (unsigned char c : text) {
        hash = (hash ^ c) * 1099511628211ull;
    }
    static const char digits[] = "0123456789abcdef";
    std::string out(16, '0');
    for (int i = 15; i >= 0; --i, hash >>= 4) {
        out[static_cast<size_t>(i)] = digits[hash & 0xF];
    }
    return out;
}

std::string sealed(const std::string& text) {
    return text + " #" + checksum(text) + "\n";
}

std::string hex(const std::string& data) {
    if (data.empty()) {
        return "-";
    }
    static const char digits[] = "0123456789abcdef";
    std::string out;
    out.reserve(data.size() * 2);
    for (unsigned char c : data) {
        out += digits[c >> 4];
        out += digits[c & 0xF];
    }
    return out;
}

bool unhex(const std::string& text, std::string* out) {
    out->clear();
    if (text == "-") {
        return true;
    }
    if (text.empty() || text.size() % 2 != 0 || text.size() > MAX_FIELD_HEX) {
        return false;
    }
    out->resize(text.size() / 2);
    std::string error;
    return hex_decode(text.data(), text.size(), reinterpret_cast<uint8_t*>(&(*out)[0]), &error);
}

bool parse_number(const std::string& text, int base, uint64_t max, uint64_t* out) {
    uint64_t value = 0;
    const char* end = text.data() + text.size();
    const auto parsed = std::from_chars(text.data(), end, value, base);
    if (text.size() > 20 || parsed.ec != std::errc() || parsed.ptr != end || value > max) {
        return false;
    }
    *out = value;
    return true;
}

bool plain_token(const std::string& text, size_t max_len) {
    return !text.empty() && text.size() <= max_len &&
           std::all_of(text.begin(), text.end(), [](char c) {
               return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                      c == ':' || c == '-';
           });
}

// What may be given to the resolver manager: an interface name, never an option.
bool valid_registration_name(const std::string& name) {
    return !name.empty() && name.size() <= MAX_NAME && name[0] != '-' && name[0] != '.' &&
           std::all_of(name.begin(), name.end(), [](char c) {
               return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                      c == '_' || c == '.' || c == '-';
           });
}

// One or two server addresses, comma-separated: nothing else reaches a resolver's settings.
bool valid_servers(const std::string& text) {
    size_t count = 0;
    size_t start = 0;
    while (start <= text.size() && count < 3) {
        size_t end = text.find(',', start);
        end = end == std::string::npos ? text.size() : end;
        const std::string server = text.substr(start, end - start);
        unsigned char bytes[16];
        if (server.empty() || server.size() > 45 ||
            (inet_pton(AF_INET, server.c_str(), bytes) != 1 &&
             inet_pton(AF_INET6, server.c_str(), bytes) != 1)) {
            return false;
        }
        ++count;
        start = end + 1;
    }
    return count >= 1 && count <= 2;
}

std::string hex32(uint32_t value) {
    static const char digits[] = "0123456789abcdef";
    std::string out(8, '0');
    for (int i = 7; i >= 0; --i, value >>= 4) {
        out[static_cast<size_t>(i)] = digits[value & 0xF];
    }
    return out;
}

std::vector<std::string> split_words(const std::string& text) {
    std::vector<std::string> words;
    size_t start = 0;
    while (start <= text.size()) {
        size_t end = text.find(' ', start);
        if (end == std::string::npos) {
            end = text.size();
        }
        words.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return words;
}

// The words of a whole line whose checksum holds; empty otherwise.
std::vector<std::string> checked_words(const std::string& line) {
    size_t mark = line.rfind(" #");
    if (mark == std::string::npos ||
        line.compare(mark + 2, std::string::npos, checksum(line.substr(0, mark))) != 0) {
        return {};
    }
    return split_words(line.substr(0, mark));
}

bool parse_route(const std::vector<std::string>& w, host_change* change) {
    uint64_t dest = 0, len = 0, gateway = 0, if_index = 0, metric = 0, server = 0;
    if (w.size() != 9 || !parse_number(w[3], 16, 0xFFFFFFFFu, &dest) ||
        !parse_number(w[4], 10, 32, &len) || !parse_number(w[5], 16, 0xFFFFFFFFu, &gateway) ||
        !parse_number(w[6], 10, 0x7FFFFFFF, &if_index) || if_index == 0 ||
        !parse_number(w[7], 10, 0xFFFFFFFFu, &metric) || !parse_number(w[8], 10, 1, &server)) {
        return false;
    }
    const uint32_t host_bits = len == 32 ? 0 : 0xFFFFFFFFu >> len;
    if ((static_cast<uint32_t>(dest) & host_bits) != 0) {
        return false;  // not a route the engine could have made
    }
    change->route.dest = htonl(static_cast<uint32_t>(dest));
    change->route.prefix_len = static_cast<uint8_t>(len);
    change->route.gateway = htonl(static_cast<uint32_t>(gateway));
    change->route.if_index = static_cast<int32_t>(if_index);
    change->route.metric = static_cast<uint32_t>(metric);
    change->server_route = server == 1;
    return true;
}

// The gateway is written only where there is one.
bool parse_route6(const std::vector<std::string>& w, host_change* change) {
    constexpr size_t hex_len = 2 * sizeof(change->route6.dest);
    std::string dest, gateway;
    uint64_t len = 0, if_index = 0;
    if ((w.size() != 6 && w.size() != 7) || w[3].size() != hex_len || !unhex(w[3], &dest) ||
        !parse_number(w[4], 10, 128, &len) || !parse_number(w[5], 10, 0x7FFFFFFF, &if_index) ||
        if_index == 0 || (w.size() == 7 && (w[6].size() != hex_len || !unhex(w[6], &gateway)))) {
        return false;
    }
    for (size_t bit = len; bit < 128; ++bit) {
        if ((static_cast<uint8_t>(dest[bit / 8]) & (0x80 >> (bit % 8))) != 0) {
            return false;  // not a route the engine could have made
        }
    }
    std::memcpy(change->route6.dest, dest.data(), sizeof(change->route6.dest));
    change->route6.prefix_len = static_cast<uint8_t>(len);
    change->route6.if_index = static_cast<int32_t>(if_index);
    std::memcpy(change->route6.gateway, gateway.data(), gateway.size());
    return true;
}

bool parse_change(const std::vector<std::string>& w, host_change* change) {
    const std::string& kind = w[2];
    if (kind == kind_name(host_change_kind::route)) {
        change->kind = host_change_kind::route;
        return parse_route(w, change);
    }
    if (kind == kind_name(host_change_kind::route6)) {
        change->kind = host_change_kind::route6;
        return parse_route6(w, change);
    }
    if (kind == kind_name(host_change_kind::forwarding)) {
        change->kind = host_change_kind::forwarding;
        if (w.size() != 5 || !forwarding_state_valid(w[3]) || !forwarding_state_valid(w[4])) {
            return false;
        }
        change->before = w[3];
        change->after = w[4];
        return true;
    }
    if (kind == kind_name(host_change_kind::resolver_file)) {
        change->kind = host_change_kind::resolver_file;
        uint64_t mode = 0;
        if (w.size() != 7 || w[3].size() != 1 || !parse_number(w[4], 8, 0777, &mode) ||
            !unhex(w[5], &change->found.data) || !unhex(w[6], &change->after) ||
            change->after.empty()) {
            return false;
        }
        change->found.mode = static_cast<uint32_t>(mode);
        switch (w[3][0]) {
            case resolver_file_state::absent:
                change->found.kind = resolver_file_state::absent;
                return change->found.data.empty();
            case resolver_file_state::file:
                change->found.kind = resolver_file_state::file;
                return true;
            case resolver_file_state::link:
                change->found.kind = resolver_file_state::link;
                return !change->found.data.empty() &&
                       change->found.data.find('\0') == std::string::npos;
            default:
                return false;
        }
    }
    if (kind == kind_name(host_change_kind::resolver_registration)) {
        change->kind = host_change_kind::resolver_registration;
        change->name = w.size() == 4 ? w[3] : std::string();
        return valid_registration_name(change->name);
    }
    if (kind == kind_name(host_change_kind::interface_metric)) {
        change->kind = host_change_kind::interface_metric;
        uint64_t id = 0, automatic = 0, metric = 0;
        if (w.size() != 6 || !parse_number(w[3], 10, UINT64_MAX, &id) || id == 0 ||
            !parse_number(w[4], 10, 1, &automatic) ||
            !parse_number(w[5], 10, UINT32_MAX, &metric)) {
            return false;
        }
        change->metric_before = {id, automatic == 1, static_cast<uint32_t>(metric)};
        return true;
    }
    if (kind == kind_name(host_change_kind::resolver_link)) {
        change->kind = host_change_kind::resolver_link;
        uint64_t if_index = 0;
        if (w.size() != 5 || !parse_number(w[3], 10, 0x7FFFFFFF, &if_index) || if_index == 0 ||
            !valid_servers(w[4])) {
            return false;
        }
        change->if_index = static_cast<int32_t>(if_index);
        change->after = w[4];
        return true;
    }
    if (kind == kind_name(host_change_kind::resolver_global)) {
        change->kind = host_change_kind::resolver_global;
        if (w.size() != 4 || !valid_servers(w[3])) {
            return false;
        }
        change->after = w[3];
        return true;
    }
    return false;
}

// What outlives a restart and the session's namespace: files, and a setting the resolver
// manager keeps on disk.
bool outlives_namespace(host_change_kind kind) {
    return kind == host_change_kind::resolver_file || kind == host_change_kind::resolver_global;
}

// Whether a replay would take the record on this line.
bool readable_record(const std::string& line) {
    std::vector<std::string> w = checked_words(line.substr(0, line.size() - 1));
    host_change change;
    return w.size() >= 3 && w[0] == "R" && parse_change(w, &change);
}

std::string unreadable_reason(const host_change& change) {
    const size_t largest = std::max(change.found.data.size(), change.after.size());
    if (largest > MAX_FIELD_HEX / 2) {
        return "the resolver file holds " + std::to_string(largest) + " bytes, more than the " +
               std::to_string(MAX_FIELD_HEX / 2) + " a record keeps";
    }
    return "a value out of range";
}

bool selected(host_change_kind kind, std::initializer_list<host_change_kind> kinds) {
    return kinds.size() == 0 || std::find(kinds.begin(), kinds.end(), kind) != kinds.end();
}

}  // namespace

journal_entry journal_entry_of(const std::string& name) {
    const auto has_affixes = [&](const std::string& prefix, const std::string& suffix) {
        return name.size() > prefix.size() + suffix.size() &&
               name.compare(0, prefix.size(), prefix) == 0 &&
               name.compare(name.size() - suffix.size(), suffix.size(), suffix) == 0;
    };
    if (has_affixes(JOURNAL_TEMP_PREFIX, "")) {
        return journal_entry::unnamed;
    }
    return has_affixes(JOURNAL_PREFIX, JOURNAL_SUFFIX) ? journal_entry::journal
                                                       : journal_entry::other;
}

std::string journal_header_line(const host_identity& identity) {
    const std::string net = identity.net.empty() ? UNKNOWN_NET : identity.net;
    return sealed(std::string(MAGIC) + " " + VERSION + " " + identity.boot + " " + net + " " +
                  identity.etc);
}

std::string journal_record_line(uint64_t id, const host_change& change) {
    std::ostringstream out;
    out << "R " << id << " " << kind_name(change.kind);
    switch (change.kind) {
        case host_change_kind::route:
            out << " " << hex32(ntohl(change.route.dest)) << " " << int{change.route.prefix_len}
                << " " << hex32(ntohl(change.route.gateway)) << " " << change.route.if_index << " "
                << change.route.metric << " " << (change.server_route ? 1 : 0);
            break;
        case host_change_kind::forwarding:
            out << " " << change.before << " " << change.after;
            break;
        case host_change_kind::resolver_file:
            out << " " << static_cast<char>(change.found.kind) << " " << std::oct
                << (change.found.mode & 0777) << std::dec << " " << hex(change.found.data) << " "
                << hex(change.after);
            break;
        case host_change_kind::resolver_registration:
            out << " " << change.name;
            break;
        case host_change_kind::interface_metric:
            out << " " << change.metric_before.interface_id << " "
                << (change.metric_before.automatic ? 1 : 0) << " " << change.metric_before.metric;
            break;
        case host_change_kind::resolver_link:
            out << " " << change.if_index << " " << change.after;
            break;
        case host_change_kind::resolver_global:
            out << " " << change.after;
            break;
        case host_change_kind::route6:
            out << " "
                << hex(std::string(reinterpret_cast<const char*>(change.route6.dest),
                                   sizeof(change.route6.dest)))
                << " " << int{change.route6.prefix_len} << " " << change.route6.if_index;
            if (has_gateway(change.route6)) {
                out << " "
                    << hex(std::string(reinterpret_cast<const char*>(change.route6.gateway),
                                       sizeof(change.route6.gateway)));
            }
            break;
    }
    return sealed(out.str());
}

std::string journal_settle_line(uint64_t id) {
    return sealed("U " + std::to_string(id));
}

bool parse_journal(const std::string& text, parsed_journal* out) {
    out->records.clear();
    std::unordered_map<uint64_t, size_t> index;  // id to its place in out->records
    size_t start = 0;
    bool header = false;
    // A last line without its newline was torn by a kill mid-write: its change was never made.
    for (size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1) {
        std::vector<std::string> w = checked_words(text.substr(start, end - start));
        if (!header) {
            if (w.size() != 5 || w[0] != MAGIC || (w[1] != VERSION && w[1] != VERSION_INODE_NET) ||
                !plain_token(w[2], MAX_IDENTITY) || !plain_token(w[3], MAX_IDENTITY) ||
                !plain_token(w[4], MAX_IDENTITY)) {
                return false;
            }
            const bool net_known = w[1] == VERSION && w[3] != UNKNOWN_NET;
            out->identity = host_identity{w[2], net_known ? w[3] : std::string(), w[4]};
            header = true;
            continue;
        }
        uint64_t id = 0;
        if (w.size() < 2 || !parse_number(w[1], 10, 1ull << 62, &id)) {
            continue;
        }
        auto known = index.find(id);
        if (w[0] == "U" && w.size() == 2 && known != index.end()) {
            out->records[known->second].settled = true;
        } else if (w[0] == "R" && w.size() >= 3 && known == index.end()) {
            journal_record record;
            record.id = id;
            if (parse_change(w, &record.change)) {
                index.emplace(id, out->records.size());
                out->records.push_back(record);
            }
        }
    }
    return header;
}

host_journal::~host_journal() {
    if (store_ != nullptr) {
        journal_store_close(store_, false);  // what is left stays for the next replay
    }
}

bool host_journal::begin() {
    std::lock_guard<std::mutex> guard(lock_);
    if (store_ != nullptr) {
        return true;
    }
    int error = 0;
    try {
        header_ = journal_header_line(current_host_identity());
        store_ = journal_store_create(header_, &error);
        size_ = header_.size();
        compact_at_ = JOURNAL_COMPACT_SIZE;
        records_.clear();
        routes_held_ = 0;
        next_id_ = 1;
    } catch (const std::exception& e) {
        QN_ERROR("{}.", e.what());
        return false;
    }
    if (store_ == nullptr) {
        QN_ERROR("host journal could not be created, errNo={}", error);
        return false;
    }
    return true;
}

bool host_journal::active() {
    std::lock_guard<std::mutex> guard(lock_);
    return store_ != nullptr;
}

bool host_journal::append(const std::string& lines, bool durable) {
    int error = journal_store_append(store_, lines, durable);
    if (error != 0) {
        QN_ERROR("host journal write failed, errNo={}", error);
        return false;
    }
    size_ += lines.size();
    return true;
}

void host_journal::mark_settled(journal_record* record) {
    record->settled = true;
    routes_held_ -= record->change.kind == host_change_kind::route ? 1 : 0;
    if (store_ != nullptr) {
        // Not made durable: a lost settle line only repeats an undo the host no longer needs.
        append(journal_settle_line(record->id), false);
    }
}

// The new journal is in place before the old one goes: a kill in between leaves two with the
// same outstanding changes, each undone only where the host still shows it.
void host_journal::compact_if_large() {
    if (store_ == nullptr || size_ <= compact_at_) {
        return;
    }
    try {
        records_.erase(std::remove_if(records_.begin(), records_.end(),
                                      [](const journal_record& record) { return record.settled; }),
                       records_.end());
        std::string text = header_;
        for (const journal_record& record : records_) {
            text += journal_record_line(record.id, record.change);
        }
        int error = 0;
        void* fresh = journal_store_create(text, &error);
        if (fresh == nullptr) {
            QN_ERROR("host journal could not be written anew, errNo={}", error);
            compact_at_ = size_ + JOURNAL_COMPACT_SIZE;  // not again at every line
            return;
        }
        journal_store_close(store_, true);
        store_ = fresh;
        size_ = text.size();
        compact_at_ = JOURNAL_COMPACT_SIZE;
    } catch (const std::exception& e) {
        QN_ERROR("{}.", e.what());
    }
}

bool host_journal::record(const std::vector<host_change>& changes, std::vector<uint64_t>* ids) {
    std::lock_guard<std::mutex> guard(lock_);
    if (store_ == nullptr) {
        QN_ERROR("host journal is not open");
        return false;
    }
    try {
        std::string lines;
        std::vector<journal_record> fresh;
        size_t routes = 0;
        for (const host_change& change : changes) {
            journal_record record{next_id_++, change, false};
            const std::string line = journal_record_line(record.id, change);
            // A change whose record a replay would drop could never be put back.
            if (!readable_record(line)) {
                QN_ERROR("{} change refused, a replay could not read its record back: {}",
                         kind_name(change.kind), unreadable_reason(change));
                return false;
            }
            routes += change.kind == host_change_kind::route ? 1 : 0;
            lines += line;
            fresh.push_back(record);
        }
        if (routes_held_ + routes > MAX_SESSION_ROUTES) {
            QN_ERROR("{} routes refused: a session holds at most {} routes, it holds {}", routes,
                     MAX_SESSION_ROUTES, routes_held_);
            return false;
        }
        records_.reserve(records_.size() + fresh.size());
        ids->clear();
        if (!append(lines, true)) {
            return false;
        }
        routes_held_ += routes;
        for (const journal_record& record : fresh) {
            ids->push_back(record.id);
            records_.push_back(record);
        }
        compact_if_large();
        return true;
    } catch (const std::exception& e) {
        QN_ERROR("{}.", e.what());
        return false;
    }
}

bool host_journal::record(const host_change& change, uint64_t* id) {
    std::vector<uint64_t> ids;
    if (!record(std::vector<host_change>{change}, &ids)) {
        return false;
    }
    *id = ids.front();
    return true;
}

void host_journal::settle(uint64_t id) {
    std::lock_guard<std::mutex> guard(lock_);
    // Ids grow in the order of the records.
    auto it = std::lower_bound(
        records_.begin(), records_.end(), id,
        [](const journal_record& record, uint64_t wanted) { return record.id < wanted; });
    if (it != records_.end() && it->id == id && !it->settled) {
        mark_settled(&*it);
        compact_if_large();
    }
}

std::vector<journal_record> host_journal::outstanding(host_change_kind kind) {
    std::lock_guard<std::mutex> guard(lock_);
    std::vector<journal_record> found;
    for (const journal_record& record : records_) {
        if (!record.settled && record.change.kind == kind) {
            found.push_back(record);
        }
    }
    return found;
}

int host_journal::unwind(std::initializer_list<host_change_kind> kinds) {
    std::lock_guard<std::mutex> guard(lock_);
    int failures = 0;
    for (auto it = records_.rbegin(); it != records_.rend(); ++it) {
        if (it->settled || !selected(it->change.kind, kinds)) {
            continue;
        }
        int error = undo_host_change(it->change);
        if (error != 0) {
            QN_ERROR("undo of {} failed, errNo={}", kind_name(it->change.kind), error);
            ++failures;
            continue;
        }
        mark_settled(&*it);
    }
    return failures;
}

void host_journal::end() {
    int failures = unwind();
    std::lock_guard<std::mutex> guard(lock_);
    if (store_ != nullptr) {
        journal_store_close(store_, failures == 0);
        store_ = nullptr;
    }
    records_.clear();
}

host_journal& session_journal() {
    static host_journal journal;
    return journal;
}

int replay_host_journals() {
    int undone = 0;
    int failures = 0;
    // Lines of the per-journal step carry the replay's name, not the lambda's.
    const char* const function = __func__;
    try {
        const host_identity here = current_host_identity();
        auto replay = [&](const std::string& text, std::string* settled) {
            parsed_journal journal;
            if (!parse_journal(text, &journal)) {
                QN_ERROR_IN(function, "host journal without a readable header left alone");
                return false;
            }
            const bool same_boot = journal.identity.boot == here.boot;
            if (journal.identity.etc != here.etc) {
                // After a restart nothing else of it is left: the journal has nothing more to do.
                return !same_boot;
            }
            // The resolver file and NetworkManager's setting outlive a restart and the namespace;
            // everything else lives and dies with the namespace of this boot.
            const bool same_net =
                same_boot && !here.net.empty() && journal.identity.net == here.net;
            const int failed_before = failures;
            for (auto it = journal.records.rbegin(); it != journal.records.rend(); ++it) {
                if (it->settled || (!same_net && !outlives_namespace(it->change.kind))) {
                    continue;
                }
                int error = undo_host_change(it->change);
                if (error != 0) {
                    QN_ERROR_IN(function, "undo of {} failed, errNo={}", kind_name(it->change.kind),
                                error);
                    ++failures;
                } else {
                    ++undone;
                    *settled += journal_settle_line(it->id);
                }
            }
            // Another namespace of this boot may still be alive: its own replay does the rest.
            return failures == failed_before && (same_net || !same_boot);
        };
        const int error = journal_store_for_each_orphan(replay);
        if (error != 0) {
            QN_ERROR("host journals could not be read, errNo={}", error);
            ++failures;
        }
    } catch (const std::exception& e) {
        QN_ERROR("{}.", e.what());
        ++failures;
    }
    if (undone > 0) {
        QN_INFO("put back {} host changes of ended sessions", undone);
    }
    return failures == 0 ? undone : -1;
}

int replay_host_journals_logged() {
    engine_log::setup_if_missing();
    return replay_host_journals();
}
