#include "dualcache/redis_invalidations.hpp"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <string_view>
#include <system_error>
#include <utility>

namespace veltrax::store {

using redis::Failure;
using redis::Reply;

namespace {

constexpr std::string_view channel = "__redis__:invalidate";
// Past this many keys waiting, the store is told that everything changed instead.
constexpr std::size_t most_keys_kept = 100'000;

std::string_view text_of(const redisReply &reply) { return {reply.str, reply.len}; }

bool is_text(const redisReply &reply, std::string_view text) {
    return (reply.type == REDIS_REPLY_STRING || reply.type == REDIS_REPLY_STATUS) &&
           text_of(reply) == text;
}

}  // namespace

Invalidated::Taken Invalidated::take() {
    std::lock_guard lock(mutex_);
    waiting_ = false;
    return std::exchange(taken_, {});
}

void Invalidated::add(std::vector<std::string> keys) {
    std::lock_guard lock(mutex_);
    if (!taken_.everything && taken_.keys.size() + keys.size() > most_keys_kept) {
        taken_.everything = true;
        taken_.keys.clear();
    }
    if (!taken_.everything)
        for (std::string &key : keys) taken_.keys.push_back(std::move(key));
    waiting_ = true;
}

void Invalidated::everything() {
    std::lock_guard lock(mutex_);
    taken_.everything = true;
    taken_.keys.clear();
    waiting_ = true;
}

// Lost before waiting: a taker that finds nothing waiting has seen the loss too.
void Invalidated::lose() {
    lost_ = true;
    waiting_ = true;
}

void Invalidated::forget_loss() { lost_ = false; }

InvalidationListener::InvalidationListener(const RedisAddress &address, redis::Limits limits,
                                           std::string key_namespace,
                                           redis::Milliseconds ping_every, Invalidated &into)
    : connection_(address, limits),
      namespace_(std::move(key_namespace)),
      ping_every_(ping_every),
      answer_within_(limits.command_timeout),
      into_(into) {
    const redis::Arguments batch[] = {{"CLIENT", "ID"}, {"SUBSCRIBE", channel}};
    std::vector<Reply> replies = connection_.commands(batch);
    const redisReply &id = *replies[0];
    const redisReply &subscribed = *replies[1];
    if (id.type != REDIS_REPLY_INTEGER)
        throw Failure(Failure::Kind::failed,
                      "CLIENT ID refused: " + std::string(id.type == REDIS_REPLY_ERROR
                                                              ? text_of(id)
                                                              : "an unexpected reply"));
    if (subscribed.type != REDIS_REPLY_ARRAY || subscribed.elements != 3 ||
        !is_text(*subscribed.element[0], "subscribe"))
        throw Failure(Failure::Kind::failed,
                      "SUBSCRIBE refused: " + std::string(subscribed.type == REDIS_REPLY_ERROR
                                                              ? text_of(subscribed)
                                                              : "an unexpected reply"));
    client_id_ = id.integer;
    if (::pipe2(wake_, O_CLOEXEC) != 0)
        throw std::system_error(errno, std::generic_category(), "a pipe for the listener");
    thread_ = std::thread([this] { listen(); });
}

InvalidationListener::~InvalidationListener() {
    if (thread_.joinable()) {
        char stop = 0;
        while (::write(wake_[1], &stop, 1) < 0 && errno == EINTR) {
        }
        thread_.join();
    }
    for (int end : wake_)
        if (end >= 0) ::close(end);
}

void InvalidationListener::listen() {
    using Clock = std::chrono::steady_clock;
    Clock::time_point check_at = Clock::now() + ping_every_;
    bool pinged = false;
    try {
        for (;;) {
            auto wait = std::chrono::ceil<redis::Milliseconds>(check_at - Clock::now());
            pollfd watched[] = {{connection_.socket(), POLLIN, 0}, {wake_[0], POLLIN, 0}};
            int ready = ::poll(watched, 2, static_cast<int>(std::max<long long>(wait.count(), 0)));
            if (ready < 0) {
                if (errno == EINTR) continue;
                throw Failure(Failure::Kind::dropped, "poll failed");
            }
            if (watched[1].revents != 0) return;  // stopping
            if (ready == 0) {
                // Quiet past the ping's answer: nothing can be known to have not changed.
                if (pinged) throw Failure(Failure::Kind::failed, "no answer to PING");
                connection_.post({"PING"});
                pinged = true;
                check_at = Clock::now() + answer_within_;
                continue;
            }
            connection_.read_available();
            while (Reply reply = connection_.next_reply())
                if (heard(*reply)) {
                    pinged = false;
                    check_at = Clock::now() + ping_every_;
                }
        }
    } catch (...) {
        // Whatever broke it (the server, the network, memory), it tells nothing now.
        into_.lose();
    }
}

// A message on the channel, or the answer to a ping (true).
bool InvalidationListener::heard(const redisReply &reply) {
    if (reply.type != REDIS_REPLY_ARRAY) return false;
    if (reply.elements == 2 && is_text(*reply.element[0], "pong")) return true;
    if (reply.elements != 3 || !is_text(*reply.element[0], "message") ||
        !is_text(*reply.element[1], channel))
        return false;
    const redisReply &changed = *reply.element[2];
    if (changed.type != REDIS_REPLY_ARRAY) {
        into_.everything();  // FLUSHDB or FLUSHALL: no keys, every one of them
        return false;
    }
    std::vector<std::string> keys;
    keys.reserve(changed.elements);
    for (std::size_t i = 0; i < changed.elements; ++i) {
        const redisReply &key = *changed.element[i];
        if (key.type == REDIS_REPLY_STRING && text_of(key).starts_with(namespace_))
            keys.emplace_back(text_of(key).substr(namespace_.size()));
    }
    into_.add(std::move(keys));
    return false;
}

}  // namespace veltrax::store
