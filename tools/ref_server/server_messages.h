// The server's side of the message layouts: reading requests, building replies.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "protocol.h"

struct kx_request {
    uint32_t requested_addr;  // the S1 header's sid field, network order; 0 for none
    uint32_t challenge;
    uint8_t client_pk[KEY_LEN];
};

struct user_auth_request {
    std::string token;
    std::string uuid;
    std::string os_type;
    std::string client_version;
    std::vector<route_prefix> local_routes;
    uint32_t upload_limit;
    uint32_t download_limit;
};

struct keepalive_request {
    std::string token;
    std::string uuid;
    uint32_t upload_limit;
    uint32_t download_limit;
};

// Plain S1 and S4 requests; false when the length or layout is wrong.
bool read_kx_request(const uint8_t* msg, int len, kx_request* out);
bool read_rekey_request(const uint8_t* msg, int len, kx_request* out);

// Opened S2, S5 and S6 plaintexts; false when the length is wrong.
bool read_user_auth_plain(const uint8_t* plain, int len, user_auth_request* out);
bool read_keepalive_plain(const uint8_t* plain, int len, keepalive_request* out);
bool read_disconn_plain(const uint8_t* plain, int len, std::string* uuid);

// What a signed S1 or S4 reply carries.
struct signed_reply {
    uint8_t type;
    uint32_t sid;
    uint64_t seq;  // low 32 bits: the request's challenge
    uint8_t status;
    uint32_t client_tx_seq;
    const uint8_t* server_kx_pk;
    int total_len = KX_REPLY_LEN;  // other lengths only to break the layout on purpose
};

// Builds and signs the reply with an Ed25519 secret key; returns its length.
int make_signed_reply(const signed_reply& reply, const uint8_t* sign_sk, uint8_t* out);

// Sealed server-to-client messages; each returns the message length.
int make_user_auth_reply(uint32_t sid, uint64_t seq, const uint8_t* key, uint8_t status,
                         const std::string& tun_ip, const std::string& tun_netmask, uint8_t* out);
int make_keepalive_reply(uint32_t sid, uint64_t seq, const uint8_t* key, uint8_t status,
                         uint8_t* out);
int make_data_message(uint32_t sid, uint64_t seq, const uint8_t* key, const uint8_t* packet,
                      int packet_len, uint8_t* out);
