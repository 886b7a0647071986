// One connection to Redis through hiredis, every wait bounded by a deadline.
// hiredis connects, formats the commands and parses the replies; this class moves
// the bytes on its non-blocking socket with poll(), so a server that never answers,
// or answers a byte at a time, costs at most the timeout. What one reply may take
// (its bytes, and the objects its arrays need) is bounded before hiredis allocates it.
// Internal to the shared level.
#pragma once

#include <hiredis/hiredis.h>

#include <chrono>
#include <cstddef>
#include <initializer_list>
#include <memory>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "dualcache/redis_url.hpp"

namespace veltrax::store::redis {

using Milliseconds = std::chrono::milliseconds;

// Why a connection or a round trip failed; the connection is unusable afterwards.
class Failure : public std::runtime_error {
public:
    enum class Kind {
        failed,           // unreachable, refused, silent past the deadline, or not making sense
        dropped,          // a working connection closed or reset by the other end
        reply_too_large,  // more than the limit before the reply was complete
    };
    Failure(Kind kind, const std::string &cause) : std::runtime_error(cause), kind_(kind) {}
    Kind kind() const { return kind_; }

private:
    Kind kind_;
};

struct ContextFree {
    void operator()(redisContext *context) const { redisFree(context); }
};

struct ReplyFree {
    void operator()(redisReply *reply) const { freeReplyObject(reply); }
};
using Reply = std::unique_ptr<redisReply, ReplyFree>;

struct Limits {
    Milliseconds connect_timeout;
    Milliseconds command_timeout;  // for each round trip
    std::size_t largest_reply;     // bytes one reply may take, buffered or built
};

// One command's arguments (binary-safe).
using Arguments = std::vector<std::string_view>;

class Connection {
public:
    // Connects, then authenticates and selects the database when the address asks for
    // it; throws Failure. Resolving a host name is not bounded by the timeout.
    Connection(const RedisAddress &address, Limits limits);

    // One command and its reply, which may be an error reply; throws Failure, after
    // which the connection is broken.
    Reply command(std::initializer_list<std::string_view> arguments);
    Reply command(const Arguments &arguments);
    // Several commands in one round trip; their replies in order.
    std::vector<Reply> commands(std::span<const Arguments> batch);
    bool broken() const { return broken_; }

    // For a connection that waits for messages (a subscriber): its socket, sending
    // without waiting for the reply, reading what has come, and the next complete reply
    // among it (none until one is complete).
    int socket() const { return context_->fd; }
    void post(const Arguments &arguments);
    void read_available();
    Reply next_reply();

private:
    using Clock = std::chrono::steady_clock;
    struct Deadline {
        Clock::time_point at;
        Milliseconds timeout;
        const char *missing;  // what had not come when it passed
    };
    Deadline connect_deadline() const;
    Deadline answer_deadline() const;

    void send(std::span<const std::string_view> arguments, Deadline deadline);
    Reply receive(Deadline deadline);
    void wait_for(short events, Deadline deadline);
    [[noreturn]] void fail(Failure::Kind kind, const std::string &cause);

    // hiredis builds replies through these; each charges what it builds to the reply.
    void bound_replies();
    bool charge(std::size_t bytes);
    static void *bounded_string(const redisReadTask *task, char *text, std::size_t size);
    static void *bounded_array(const redisReadTask *task, int elements);
    static void *bounded_integer(const redisReadTask *task, long long value);
    static void *bounded_nil(const redisReadTask *task);

    // Declared before the context, whose reader uses it until it is freed.
    redisReplyObjectFunctions bounded_{};
    const redisReplyObjectFunctions *builds_ = nullptr;  // hiredis's own
    std::size_t reply_bytes_ = 0;                        // of the reply being built
    bool over_limit_ = false;

    std::unique_ptr<redisContext, ContextFree> context_;
    std::unique_ptr<char[]> read_buffer_;
    Limits limits_;
    bool broken_ = false;
};

}  // namespace veltrax::store::redis
