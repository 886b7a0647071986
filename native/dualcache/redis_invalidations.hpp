// Client-side caching the RESP2 way (hiredis 0.14 speaks no RESP3): a second
// connection subscribes to __redis__:invalidate, and the level's main connection asks
// Redis (CLIENT TRACKING ... REDIRECT <its id> BCAST PREFIX <namespace>) to publish
// there every change of a key in the namespace, by anyone. A thread of its own reads
// them, so that they arrive off the request path: the store takes them at the start
// of its next operation, and a memory hit stays one lookup.
//
// The connection is quiet while nothing changes, so the thread pings it: a connection
// that no longer answers within the command timeout is lost, and so is every
// guarantee it gave (the level then treats no copy as current until it has tracking
// again).
#pragma once

#include <atomic>
#include <cstddef>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "dualcache/redis_connection.hpp"

namespace veltrax::store {

// What the listener found, until the level takes it. Outlives any one listener.
class Invalidated {
public:
    struct Taken {
        std::vector<std::string> keys;  // without the namespace
        bool everything = false;        // a flush, or more keys than are kept one by one
    };

    // Anything to take (keys, a flush, or the listener lost). One relaxed load.
    bool waiting() const { return waiting_.load(std::memory_order_relaxed); }
    // Take first, then ask whether the listener was lost: a loss after the take is
    // waiting for the next one.
    Taken take();
    bool lost() const { return lost_.load(); }
    // The lost listener is gone.
    void forget_loss();

    // From the listener's thread.
    void add(std::vector<std::string> keys);
    void everything();
    void lose();

private:
    std::mutex mutex_;
    Taken taken_;
    std::atomic<bool> waiting_{false};
    std::atomic<bool> lost_{false};
};

class InvalidationListener {
public:
    // Connects, subscribes, and starts listening; throws redis::Failure.
    InvalidationListener(const RedisAddress &address, redis::Limits limits,
                         std::string key_namespace, redis::Milliseconds ping_every,
                         Invalidated &into);
    ~InvalidationListener();
    InvalidationListener(const InvalidationListener &) = delete;
    InvalidationListener &operator=(const InvalidationListener &) = delete;

    // The subscribed connection's client id, for CLIENT TRACKING ... REDIRECT.
    long long client_id() const { return client_id_; }

private:
    void listen();
    bool heard(const redisReply &reply);

    redis::Connection connection_;
    const std::string namespace_;
    const redis::Milliseconds ping_every_;
    const redis::Milliseconds answer_within_;
    Invalidated &into_;
    long long client_id_ = 0;
    int wake_[2] = {-1, -1};  // a pipe: written to stop the thread
    std::thread thread_;
};

}  // namespace veltrax::store
