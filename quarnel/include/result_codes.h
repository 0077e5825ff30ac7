/* Results of the engine's exports and the values of its status, shared by the engine and every
   program that drives it. Plain C, as the exports are. */
#ifndef QUARNEL_RESULT_CODES_H
#define QUARNEL_RESULT_CODES_H

enum qn_result {
    QN_OK = 0,
    /* Allocation, system set-up, or a data worker's device or socket error. */
    QN_FAILED = -1,
    QN_PK_INVALID = -3,
    QN_ALREADY_STARTED = -4,
    QN_SODIUM_INIT_FAILED = -5,
    QN_SOCKET_FAILED = -6,
    QN_THREAD_FAILED = -7,
    QN_KX_NO_REPLY = -20,
    QN_KX_FAILED = -21,
    QN_AUTH_NO_REPLY = -40,
    QN_AUTH_FAILED = -41,
    QN_TUN_FAILED = -50,
    QN_ROUTES_FAILED = -51,
    QN_SEND_FAILED = -70,
    QN_RECEIVE_FAILED = -71,
    QN_SERVER_SILENT = -72,
    QN_DNS_FAILED = -73,
    QN_PING_NO_REPLY = -76,
    QN_PING_BAD_REPLY = -77,
    /* Where the engine service, not the engine, answers a program's call: it could not be
       reached (or the connection that held the session is gone), or it refused the caller. */
    QN_SERVICE_UNREACHABLE = -90,
    QN_SERVICE_REFUSED = -91
};

#endif
