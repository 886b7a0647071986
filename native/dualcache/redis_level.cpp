#include "dualcache/redis_level.hpp"

#include <algorithm>
#include <stdexcept>

#include "dualcache/redis_connection.hpp"

namespace veltrax::store {

using redis::Failure;
using redis::Reply;

namespace {

// Room for a bulk string's "$<length>\r\n" and "\r\n" around the value.
constexpr std::size_t bulk_framing = 32;
constexpr std::string_view scan_batch = "1000";

// A SCAN MATCH pattern for the keys that begin with `prefix`: its glob characters
// are escaped so they match only themselves.
std::string prefix_pattern(std::string_view prefix) {
    std::string pattern;
    pattern.reserve(prefix.size() + 1);
    for (char c : prefix) {
        if (c == '*' || c == '?' || c == '[' || c == ']' || c == '\\') pattern += '\\';
        pattern += c;
    }
    return pattern + '*';
}

std::string_view text_of(const redisReply &reply) { return {reply.str, reply.len}; }

// The failure for a reply the command should not get: an error reply is Redis
// refusing (out of memory, read-only replica, a denied command...).
Failure rejected(const redisReply &reply, std::string_view command) {
    if (reply.type == REDIS_REPLY_ERROR)
        return Failure(Failure::Kind::failed,
                       std::string(command) + " refused: " + std::string(text_of(reply)));
    return Failure(Failure::Kind::failed, "an unexpected reply to " + std::string(command));
}

}  // namespace

RedisLevel::RedisLevel(RedisAddress address, std::string key_namespace, Options options, Warn warn)
    : address_(std::move(address)),
      where_(address_.described()),
      namespace_(std::move(key_namespace)),
      options_(std::move(options)),
      warn_(std::move(warn)),
      outage_(options_.first_retry, options_.longest_retry) {
    // An empty namespace would list, and let the store erase, other users' keys.
    if (namespace_.empty()) throw std::invalid_argument("the shared cache needs a key namespace");
}

RedisLevel::~RedisLevel() = default;

RedisLevel::Lookup RedisLevel::get(std::string_view key) {
    std::string name = namespaced(key);
    std::optional<Lookup> found = attempt([&](redis::Connection &connection) -> Lookup {
        Reply reply;
        try {
            reply = connection.command({"GET", name});
        } catch (const Failure &failure) {
            if (failure.kind() != Failure::Kind::reply_too_large) throw;
            warn_("shared cache {} holds more than {} bytes at {}; read as a miss",
                  {where_, std::to_string(options_.largest_value), std::string(key)});
            return {Lookup::Outcome::miss, {}};
        }
        if (reply->type == REDIS_REPLY_STRING)
            return {Lookup::Outcome::hit, std::string(text_of(*reply))};
        if (reply->type == REDIS_REPLY_NIL) return {Lookup::Outcome::miss, {}};
        // A list or a hash someone put at our key: not a value of ours.
        if (reply->type == REDIS_REPLY_ERROR && text_of(*reply).starts_with("WRONGTYPE"))
            return {Lookup::Outcome::miss, {}};
        throw rejected(*reply, "GET");
    });
    return found ? std::move(*found) : Lookup{Lookup::Outcome::unavailable, {}};
}

bool RedisLevel::put(std::string_view key, std::string_view value) {
    std::string name = namespaced(key);
    return attempt([&](redis::Connection &connection) {
               Reply reply = connection.command({"SET", name, value});
               if (reply->type != REDIS_REPLY_STATUS) throw rejected(*reply, "SET");
               return true;
           })
        .has_value();
}

std::optional<bool> RedisLevel::erase(std::string_view key) {
    std::string name = namespaced(key);
    return attempt([&](redis::Connection &connection) {
        Reply reply = connection.command({"DEL", name});
        if (reply->type != REDIS_REPLY_INTEGER) throw rejected(*reply, "DEL");
        return reply->integer > 0;
    });
}

std::optional<bool> RedisLevel::contains(std::string_view key) {
    std::string name = namespaced(key);
    return attempt([&](redis::Connection &connection) {
        Reply reply = connection.command({"STRLEN", name});
        if (reply->type == REDIS_REPLY_ERROR && text_of(*reply).starts_with("WRONGTYPE"))
            return false;
        if (reply->type != REDIS_REPLY_INTEGER) throw rejected(*reply, "STRLEN");
        // A missing key has length 0, and so would an empty value: never one of ours.
        return reply->integer > 0 &&
               static_cast<unsigned long long>(reply->integer) <= options_.largest_value;
    });
}

std::optional<std::vector<std::string>> RedisLevel::keys() { return keys_with_prefix(""); }

std::optional<std::vector<std::string>> RedisLevel::keys_with_prefix(std::string_view prefix) {
    std::string pattern = prefix_pattern(namespaced(prefix));
    return attempt([&](redis::Connection &connection) {
        std::vector<std::string> found;
        std::string cursor = "0";
        do {
            Reply reply =
                connection.command({"SCAN", cursor, "MATCH", pattern, "COUNT", scan_batch});
            if (reply->type != REDIS_REPLY_ARRAY || reply->elements != 2 ||
                reply->element[0]->type != REDIS_REPLY_STRING ||
                reply->element[1]->type != REDIS_REPLY_ARRAY)
                throw rejected(*reply, "SCAN");
            cursor = text_of(*reply->element[0]);
            const redisReply &batch = *reply->element[1];
            for (std::size_t i = 0; i < batch.elements; ++i) {
                if (batch.element[i]->type != REDIS_REPLY_STRING)
                    throw rejected(*batch.element[i], "SCAN");
                found.emplace_back(text_of(*batch.element[i]).substr(namespace_.size()));
            }
        } while (cursor != "0");
        // SCAN may return a key more than once.
        std::ranges::sort(found);
        found.erase(std::unique(found.begin(), found.end()), found.end());
        return found;
    });
}

template <typename Work>
auto RedisLevel::attempt(Work work)
    -> std::optional<decltype(work(std::declval<redis::Connection &>()))> {
    std::lock_guard lock(mutex_);
    for (bool retried = false;; retried = true) {
        bool reused = connection_ != nullptr;
        try {
            if (!connection_) {
                if (!outage_.whole() && !outage_.due(options_.clock())) return std::nullopt;
                connection_ = std::make_unique<redis::Connection>(
                    address_, redis::Limits{options_.connect_timeout, options_.command_timeout,
                                            options_.largest_value + bulk_framing});
            }
            auto result = work(*connection_);
            // Abandoned halfway through a reply: the next call starts on a fresh one.
            if (connection_->broken()) connection_.reset();
            if (!outage_.whole()) {
                outage_.restored(true, options_.clock());
                in_outage_ = false;
            }
            return result;
        } catch (const Failure &failure) {
            connection_.reset();
            // A connection that sat idle may have been closed by the server (its
            // `timeout` setting) or a firewall: that is no outage, so one fresh try.
            if (failure.kind() == Failure::Kind::dropped && reused && !retried) continue;
            lost(failure.what());
            return std::nullopt;
        }
    }
}

void RedisLevel::lost(const std::string &cause) {
    bool starts = outage_.failed(true, options_.clock());
    in_outage_ = true;
    if (!starts) return;
    warn_("shared cache {} unavailable: {}; using the local cache",
          {where_, without_password(cause)});
}

std::string RedisLevel::namespaced(std::string_view key) const {
    return namespace_ + std::string(key);
}

// Redis does not echo a password, but the cause comes from outside: never let one through.
std::string RedisLevel::without_password(std::string text) const {
    const std::string &password = address_.password;
    if (password.empty()) return text;
    for (std::size_t at = text.find(password); at != std::string::npos;
         at = text.find(password, at + 3))
        text.replace(at, password.size(), "***");
    return text;
}

}  // namespace veltrax::store
