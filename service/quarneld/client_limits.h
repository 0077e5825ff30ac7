// How many connections quarneld keeps and for whom, and how long it waits on one. The slots
// are few, so that no client can make the service hold much; a user's own share is smaller
// still, and the last few are kept for root and for the user whose session runs, so that
// neither is ever locked out by others.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstddef>
#include <optional>

namespace client_limits {

constexpr size_t MAX_CLIENTS = 32;
// A program holds two (its session's and its queries'); a user runs a few programs at most.
constexpr size_t MAX_PER_USER = 8;
// Of MAX_CLIENTS, the slots only root and the session's user may take.
constexpr size_t RESERVED = 8;
static_assert(RESERVED < MAX_CLIENTS && MAX_PER_USER < MAX_CLIENTS - RESERVED,
              "one user cannot hold every slot the others may take");
// A message must arrive whole within this time once its first byte has come.
constexpr std::chrono::seconds MESSAGE_DEADLINE{2};
// A connection that sends nothing for this long is closed, unless it holds the session or
// waits for a call; its program connects again when it next needs the service.
constexpr std::chrono::seconds IDLE_TIMEOUT{4};

enum class admission { taken, user_full, service_full };

// Whether a connection of `uid` is taken while `clients` are, `of_user` of them its own;
// `session_user` is the user whose session runs, if one does.
admission admit(uid_t uid, size_t clients, size_t of_user, std::optional<uid_t> session_user);

}  // namespace client_limits
