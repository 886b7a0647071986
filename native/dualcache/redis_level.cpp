#include "dualcache/redis_level.hpp"

#include <algorithm>
#include <array>
#include <cstring>
#include <stdexcept>

#include "dualcache/key_prefix.hpp"
#include "dualcache/layout.hpp"
#include "dualcache/redis_connection.hpp"
#include "dualcache/redis_scripts.hpp"

namespace veltrax::store {

using redis::Failure;
using redis::Reply;

namespace {

// Room for a bulk string's "$<length>\r\n" and "\r\n" around the value.
constexpr std::size_t bulk_framing = 32;

std::string_view text_of(const redisReply &reply) { return {reply.str, reply.len}; }

// The failure for a reply the command should not get: an error reply is Redis
// refusing (out of memory, read-only replica, a denied command...).
Failure rejected(const redisReply &reply, std::string_view command) {
    if (reply.type == REDIS_REPLY_ERROR)
        return Failure(Failure::Kind::failed,
                       std::string(command) + " refused: " + std::string(text_of(reply)));
    return Failure(Failure::Kind::failed, "an unexpected reply to " + std::string(command));
}

// An error that any key would meet (Redis full, loading, read-only, a command this
// user may not run) is an outage; anything else concerns the key in hand.
bool refuses_every_key(std::string_view error) {
    static constexpr std::string_view server_wide[] = {
        "OOM",     "LOADING", "BUSY",        "MASTERDOWN", "READONLY", "NOAUTH",
        "MISCONF", "TRYAGAIN", "CLUSTERDOWN", "NOREPLICAS", "NOSCRIPT"};
    for (std::string_view prefix : server_wide)
        if (error.starts_with(prefix)) return true;
    return error.starts_with("NOPERM") && error.find("command") != std::string_view::npos;
}

// How a script reads what the maker of a change last saw (redis_scripts.hpp).
std::string seen_argument(SharedSeen seen) {
    switch (seen.state) {
        case SharedSeen::State::unknown: return "";
        case SharedSeen::State::absent: return "-";
        case SharedSeen::State::value: break;
    }
    std::string version(frame_version_size, '\0');
    std::memcpy(version.data(), &seen.version, frame_version_size);
    return version;
}

// The meta keys of a namespace: its last ':' made '#'.
std::string meta_key(const std::string &key_namespace, std::string_view name) {
    return key_namespace.substr(0, key_namespace.size() - 1) + "#" + std::string(name);
}

}  // namespace

struct RedisLevel::Script {
    std::string text;
    std::string sha;  // once Redis has loaded it

    // EVALSHA, the script sent in full when Redis no longer has it (a restart, SCRIPT FLUSH).
    Reply run(redis::Connection &connection, std::vector<std::string> keys,
              std::vector<std::string> arguments) {
        if (sha.empty()) {
            Reply loaded = connection.command({"SCRIPT", "LOAD", text});
            if (loaded->type != REDIS_REPLY_STRING) throw rejected(*loaded, "SCRIPT LOAD");
            sha = text_of(*loaded);
        }
        std::string count = std::to_string(keys.size());
        redis::Arguments call{"EVALSHA", sha, count};
        for (const std::string &key : keys) call.push_back(key);
        for (const std::string &argument : arguments) call.push_back(argument);
        Reply reply = connection.command(call);
        if (reply->type == REDIS_REPLY_ERROR && text_of(*reply).starts_with("NOSCRIPT")) {
            call[0] = "EVAL";
            call[1] = text;
            reply = connection.command(call);
        }
        return reply;
    }
};

RedisLevel::RedisLevel(RedisAddress address, std::string key_namespace, Options options, Warn warn)
    : address_(std::move(address)),
      where_(address_.described()),
      namespace_(std::move(key_namespace)),
      index_(namespace_.ends_with(':') ? meta_key(namespace_, "keys") : ""),
      changes_(namespace_.ends_with(':') ? meta_key(namespace_, "changed") : ""),
      options_(std::move(options)),
      warn_(std::move(warn)),
      write_(new Script{redis_scripts::write(), {}}),
      remove_(new Script{redis_scripts::remove(), {}}),
      list_(new Script{redis_scripts::list(), {}}),
      outage_(options_.first_retry, options_.longest_retry) {
    // An empty namespace would list, and let the store erase, other users' keys; the
    // index and change times lie beside it, after its last ':'.
    if (!namespace_.ends_with(':'))
        throw std::invalid_argument("the shared cache's key namespace must end with ':'");
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

RedisLevel::Held RedisLevel::held(std::string_view key) {
    std::string name = namespaced(key);
    std::string last = std::to_string(frame_header_size - 1);
    std::optional<Held> found = attempt([&](redis::Connection &connection) -> Held {
        Reply reply = connection.command({"GETRANGE", name, "0", last});
        if (reply->type == REDIS_REPLY_ERROR && text_of(*reply).starts_with("WRONGTYPE"))
            return {Held::Outcome::foreign};
        if (reply->type != REDIS_REPLY_STRING) throw rejected(*reply, "GETRANGE");
        std::string_view header = text_of(*reply);
        if (header.empty()) return {Held::Outcome::absent};
        if (header.size() < frame_header_size || header[0] != frame_magic[0] ||
            header[1] != frame_magic[1])
            return {Held::Outcome::foreign};
        Held value{Held::Outcome::value};
        std::memcpy(&value.version, header.data() + frame_version_offset, frame_version_size);
        return value;
    });
    return found ? *found : Held{Held::Outcome::unavailable};
}

RedisLevel::Changed RedisLevel::put(std::string_view key, std::string_view value, SharedSeen seen,
                                    std::int64_t changed_ms) {
    if (value.size() > options_.largest_value)
        return Changed::of(Changed::Outcome::refused, false,
                           "larger than the " + std::to_string(options_.largest_value) +
                               " bytes the shared cache takes");
    return change(*write_, key,
                  {std::string(value), std::string(key), std::to_string(changed_ms),
                   seen_argument(seen)});
}

RedisLevel::Changed RedisLevel::erase(std::string_view key, SharedSeen seen,
                                      std::int64_t changed_ms) {
    return change(*remove_, key,
                  {std::string(key), std::to_string(changed_ms), seen_argument(seen)});
}

RedisLevel::Changed RedisLevel::change(Script &script, std::string_view key,
                                       std::vector<std::string> arguments) {
    std::vector<std::string> keys{namespaced(key), index_, changes_};
    std::optional<Changed> changed = attempt([&](redis::Connection &connection) -> Changed {
        Reply reply = script.run(connection, keys, arguments);
        if (reply->type == REDIS_REPLY_INTEGER) {
            bool applied = reply->integer == 2 || (reply->integer == 1 && &script == write_.get());
            return Changed::of(applied ? Changed::Outcome::applied : Changed::Outcome::not_applied,
                               reply->integer > 0);
        }
        if (reply->type == REDIS_REPLY_ERROR && !refuses_every_key(text_of(*reply)))
            return Changed::of(Changed::Outcome::refused, false, std::string(text_of(*reply)));
        throw rejected(*reply, "EVALSHA");
    });
    return changed ? std::move(*changed) : Changed{};
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
    std::string end = prefix_end(prefix);
    // ZRANGEBYLEX bounds: from the prefix (inclusive) to its end (exclusive).
    std::string from = std::string("[").append(prefix);
    std::string to = end.empty() ? std::string("+") : std::string("(").append(end);
    return attempt([&](redis::Connection &connection) {
        Reply reply = list_->run(connection, {index_}, {namespace_, from, to});
        if (reply->type != REDIS_REPLY_ARRAY) throw rejected(*reply, "EVALSHA");
        std::vector<std::string> found;
        found.reserve(reply->elements);
        for (std::size_t i = 0; i < reply->elements; ++i) {
            if (reply->element[i]->type != REDIS_REPLY_STRING)
                throw rejected(*reply->element[i], "EVALSHA");
            found.emplace_back(text_of(*reply->element[i]));
        }
        return found;  // in the index's order: sorted by bytes
    });
}

std::vector<std::string> RedisLevel::take_invalidations() {
    std::lock_guard lock(mutex_);
    Invalidated::Taken taken = invalidated_.take();
    if (invalidated_.lost()) {
        end_session();
        return {};
    }
    if (taken.everything && session_ != 0) session_ = ++sessions_;
    return std::move(taken.keys);
}

bool RedisLevel::may_try() {
    std::lock_guard lock(mutex_);
    return outage_.whole() || outage_.due(options_.clock());
}

template <typename Work>
auto RedisLevel::attempt(Work work)
    -> std::optional<decltype(work(std::declval<redis::Connection &>()))> {
    std::lock_guard lock(mutex_);
    if (listener_ && invalidated_.lost()) end_session();
    for (bool retried = false;; retried = true) {
        bool reused = connection_ != nullptr;
        try {
            if (!connection_) {
                if (!outage_.whole() && !outage_.due(options_.clock())) return std::nullopt;
                connect();
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
            session_ = 0;
            // A connection that sat idle may have been closed by the server (its
            // `timeout` setting) or a firewall: that is no outage, so one fresh try.
            if (failure.kind() == Failure::Kind::dropped && reused && !retried) continue;
            lost(failure.what());
            return std::nullopt;
        } catch (const std::exception &error) {
            // No memory for a request or a reply, or anything else halfway: whatever
            // the connection had left unread goes with it.
            connection_.reset();
            session_ = 0;
            lost(error.what());
            return std::nullopt;
        }
    }
}

// The main connection, tracking the namespace for the listener (started first, so that
// no change after the tracking began goes unheard).
void RedisLevel::connect() {
    redis::Limits limits{options_.connect_timeout, options_.command_timeout,
                         options_.largest_value + bulk_framing};
    if (options_.track_changes && !listener_)
        listener_ = std::make_unique<InvalidationListener>(address_, limits, namespace_,
                                                           options_.ping_every, invalidated_);
    auto connection = std::make_unique<redis::Connection>(address_, limits);
    if (listener_) {
        std::string id = std::to_string(listener_->client_id());
        // NOLOOP spares this connection the echo of its own writes where the server
        // applies it to scripts (7.0 does not: such an echo costs one confirmation).
        Reply reply = connection->command(
            {"CLIENT", "TRACKING", "on", "REDIRECT", id, "BCAST", "PREFIX", namespace_, "NOLOOP"});
        if (reply->type != REDIS_REPLY_STATUS) throw rejected(*reply, "CLIENT TRACKING");
    }
    connection_ = std::move(connection);
    if (listener_) session_ = ++sessions_;
}

// Nothing is known current until tracking starts again.
void RedisLevel::end_session() {
    session_ = 0;
    connection_.reset();
    listener_.reset();
    invalidated_.forget_loss();
}

void RedisLevel::lost(const std::string &cause) {
    end_session();
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
