// Message format of the tunnel protocol: header, builders and checkers of every message.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>

#include "aead.h"
#include "packet_bytes.h"
#include "route_prefix.h"

enum msg_type : uint8_t {
    MSG_AUTH_KX = 1,
    MSG_USER_AUTH = 2,
    MSG_DATA_TRANS = 3,
    MSG_REKEY = 4,
    MSG_KEEPALIVE = 5,
    MSG_DISCONN = 6,
    MSG_PING = 7,
};

constexpr int VPN_HEADER_LEN = 15;
constexpr int KEY_LEN = 32;
constexpr int SIGNATURE_LEN = 64;
constexpr int CONTROL_BUF_LEN = 2048;  // request and reply buffers of the control exchanges

// A reply checker's result for a datagram that answers nothing this session is waiting for
// (no exchange pending, another request's challenge, not authentic): anyone can send one, so
// it is dropped without effect on the session.
constexpr int REPLY_IGNORED = 1;

// Field sizes of the requests; a text must leave room for its NUL.
constexpr int TOKEN_FIELD = 512;
constexpr int UUID_FIELD = 64;
constexpr int OS_TYPE_FIELD = 10;
constexpr int CLIENT_VERSION_FIELD = 10;
constexpr int MAX_LOCAL_ROUTES = 50;
constexpr int ADDR_TEXT_FIELD = 16;

constexpr int KX_REQ_LEN = 55;
constexpr int KX_REPLY_LEN = 120;
constexpr int KX_SIGNED_MSG_LEN = 41;
constexpr int USER_AUTH_REQ_LEN = 886;
constexpr int USER_AUTH_PLAIN_LEN = 855;
constexpr int USER_AUTH_REPLY_LEN = 64;
constexpr int USER_AUTH_REPLY_PLAIN_LEN = 33;
constexpr int REKEY_REQ_LEN = 51;
constexpr int KEEPALIVE_REQ_LEN = 615;
constexpr int KEEPALIVE_PLAIN_LEN = 584;
constexpr int KEEPALIVE_REPLY_LEN = 32;
constexpr int DISCONN_REQ_LEN = 95;
constexpr int DISCONN_PLAIN_LEN = 64;
constexpr int PING_REQ_LEN = 79;
constexpr uint32_t KX_MAGIC = 0x00030003;

// Offsets in the S2 request plaintext.
constexpr int UA_TOKEN = 0;
constexpr int UA_UUID = 512;
constexpr int UA_OS_TYPE = 576;
constexpr int UA_CLIENT_VERSION = 586;
constexpr int UA_ROUTES = 596;
constexpr int UA_ROUTE_COUNT = 846;
constexpr int UA_UPLOAD = 847;
constexpr int UA_DOWNLOAD = 851;

// Offsets in the S5 request plaintext.
constexpr int KA_TOKEN = 0;
constexpr int KA_UUID = 512;
constexpr int KA_DOWNLOAD = 576;
constexpr int KA_UPLOAD = 580;

// Offsets in the signed message of the S1 and S4 replies.
constexpr int SIGNED_STATUS = 0;
constexpr int SIGNED_TX_SEQ = 1;
constexpr int SIGNED_SERVER_PK = 9;

// The two session keys, replaced only as a whole so a seal or open never mixes generations.
struct session_keys {
    uint8_t tx_key[KEY_LEN];
    uint8_t rx_key[KEY_LEN];
};

struct proto_ctx {
    uint32_t sid = 0;
    std::atomic<uint32_t> challenge{0};
    // Ephemeral key pair of the pending S1 or S4 exchange; kx_lock guards it because a
    // rekey request (data workers) and a rekey reply (receiver) may meet.
    std::mutex kx_lock;
    uint8_t kx_sk[KEY_LEN] = {};
    uint8_t kx_pk[KEY_LEN] = {};
    // MSG_AUTH_KX or MSG_REKEY while that exchange waits for its reply, 0 otherwise (kx_lock):
    // once the pair is used and wiped, a repeated reply would derive keys from zeros.
    uint8_t kx_pending = 0;
    std::atomic<const session_keys*> keys{nullptr};
    std::atomic<uint64_t> tx_seq{0};
    std::atomic<uint64_t> rx_seq{0};
    // Odd while install_keys replaces keys and sequences, so a seal can tell whether its
    // key and its sequence number belong to the same generation.
    std::atomic<uint32_t> key_epoch{0};

    // Starts with an all-zero key record, as a zero-filled context would have.
    proto_ctx();
    proto_ctx(const proto_ctx&) = delete;
    proto_ctx& operator=(const proto_ctx&) = delete;
    ~proto_ctx();

    // Publishes a new key record with the sequences that go with it; earlier records stay
    // alive (a seal may still hold one) until the context is destroyed.
    void install_keys(const session_keys& fresh, uint64_t next_tx_seq, uint64_t next_rx_seq);

    // Takes the next send sequence number and the key record of the same generation.
    const session_keys* begin_seal(uint64_t* seq);

  private:
    std::mutex key_store_lock_;
    std::deque<session_keys> key_store_;
};

struct vpn_header {
    uint8_t msg_type;
    uint32_t sid;
    uint64_t seq;
    uint16_t payload_len;
};

// Writes a header with sid and seq big-endian (every type but the S1 request and ping).
void put_vpn_header(uint8_t* buf, uint8_t type, uint32_t sid, uint64_t seq, uint16_t payload_len);
vpn_header parse_vpn_header(const uint8_t* buf);

void create_vpn_header(uint8_t* buf, uint8_t type, uint32_t sid, uint64_t seq,
                       uint16_t payload_len);
// 0 when acceptable; without a proto (no session) only a ping header passes.
int check_vpn_header(const proto_ctx* proto, const uint8_t* msg, int len);

// Copies text into a zero-filled fixed field; false when it does not fit with its NUL.
bool put_text_field(uint8_t* field, size_t field_size, const char* text);

int create_kx_req(proto_ctx* proto, const char* static_ip, uint8_t* buf, int* len);
int check_kx_reply(proto_ctx* proto, const uint8_t* msg, int len, const uint8_t* server_pk);

// Refuses (-1) texts longer than their fields and more than 50 routes instead of cutting them.
int create_user_auth_req(proto_ctx* proto, const char* token, const char* uuid, const char* os_type,
                         const char* client_version, const route_prefix* local_routes,
                         int local_route_count, int32_t upload_limit, int32_t download_limit,
                         uint8_t* buf, int* len);
int check_user_auth_reply(proto_ctx* proto, const uint8_t* msg, int len, char* tun_ip,
                          char* tun_netmask);

int create_rekey_req(proto_ctx* proto, uint8_t* buf, int* len);
// 0 new keys installed, -1 the server refused the rekey, REPLY_IGNORED keys untouched.
int check_rekey_reply(proto_ctx* proto, const uint8_t* msg, int len, const uint8_t* server_pk);

// buf must hold packet_len + 31 bytes.
int data_trans_encrypt(proto_ctx* proto, const uint8_t* packet, int packet_len, uint8_t* buf,
                       int* len);
// packet must hold len - 31 bytes.
int data_trans_decrypt(proto_ctx* proto, const uint8_t* msg, int len, uint8_t* packet,
                       int* packet_len);

int create_keepalive_req(proto_ctx* proto, const char* token, const char* uuid,
                         int32_t upload_limit, int32_t download_limit, uint8_t* buf, int* len);
// 0 accepted, -1 the server refused the keepalive, REPLY_IGNORED not an authentic reply.
int check_keepalive_reply(proto_ctx* proto, const uint8_t* msg, int len);

int create_disconn_req(proto_ctx* proto, const char* uuid, uint8_t* buf, int* len);

// Steady-clock microseconds, the ping's time stamp.
uint64_t steady_micros();
void create_ping_req(uint64_t now_us, uint8_t* buf, int* len);
int check_ping_reply(const uint8_t* msg, int len);
// Round trip in ms from the echoed time stamp of a ping reply, unsigned 64-bit arithmetic.
uint64_t ping_rtt_ms(const uint8_t* reply, uint64_t now_us);

// Seals plain with key after the header already written at msg (nonce = header seq bytes,
// associated data = header); returns the message length. plain may be msg + 15.
int seal_payload(const uint8_t* key, uint8_t* msg, const uint8_t* plain, int plain_len);
// Opens the payload after the header at msg into plain (msg + 15 or apart from msg); -1 when
// shorter than a tag or not authentic.
int open_payload(const uint8_t* key, const uint8_t* msg, int len, uint8_t* plain, int* plain_len);
