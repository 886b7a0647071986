#include "dualcache/redis_connection.hpp"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <vector>

namespace veltrax::store::redis {

namespace {

// hiredis 0.14 reads 16 KB at a time, and its reader grows its buffer once for each
// piece it is fed: a 2 MB GET on loopback took 4.4 ms fed that way and 0.6 ms fed
// from reads of up to 256 KB. So what the socket holds is read at once, up to this.
constexpr std::size_t read_buffer_size = std::size_t{256} << 10;

struct CommandFree {
    void operator()(char *command) const { redisFreeCommand(command); }
};

}  // namespace

Connection::Connection(const RedisAddress &address, Limits limits) : limits_(limits) {
    Deadline connected = connect_deadline();
    context_.reset(redisConnectNonBlock(address.host.c_str(), address.port));
    if (!context_) throw std::bad_alloc();
    if (context_->err != 0) fail(Failure::Kind::failed, context_->errstr);
    bound_replies();
    wait_for(POLLOUT, connected);
    int error = 0;
    socklen_t size = sizeof error;
    if (getsockopt(context_->fd, SOL_SOCKET, SO_ERROR, &error, &size) != 0) error = errno;
    if (error != 0) fail(Failure::Kind::failed, std::strerror(error));
    redisEnableKeepAlive(context_.get());

    // AUTH and SELECT go out together: one round trip.
    bool authenticate = !address.password.empty();
    bool select = address.db != 0;
    std::string db = std::to_string(address.db);
    Deadline answered = answer_deadline();
    if (authenticate && address.user.empty()) send(Arguments{"AUTH", address.password}, answered);
    if (authenticate && !address.user.empty())
        send(Arguments{"AUTH", address.user, address.password}, answered);
    if (select) send(Arguments{"SELECT", db}, answered);
    if (authenticate) {
        Reply reply = receive(answered);
        if (reply->type == REDIS_REPLY_ERROR)
            fail(Failure::Kind::failed,
                 "authentication refused: " + std::string(reply->str, reply->len));
    }
    if (select) {
        Reply reply = receive(answered);
        if (reply->type == REDIS_REPLY_ERROR)
            fail(Failure::Kind::failed,
                 "database " + db + " refused: " + std::string(reply->str, reply->len));
    }
}

Reply Connection::command(std::initializer_list<std::string_view> arguments) {
    Deadline answered = answer_deadline();
    send(std::span(arguments.begin(), arguments.size()), answered);
    return receive(answered);
}

Reply Connection::command(const Arguments &arguments) {
    Deadline answered = answer_deadline();
    send(arguments, answered);
    return receive(answered);
}

std::vector<Reply> Connection::commands(std::span<const Arguments> batch) {
    Deadline answered = answer_deadline();
    for (const Arguments &arguments : batch) send(arguments, answered);
    std::vector<Reply> replies;
    for (std::size_t i = 0; i < batch.size(); ++i) replies.push_back(receive(answered));
    return replies;
}

void Connection::post(const Arguments &arguments) { send(arguments, answer_deadline()); }

Reply Connection::next_reply() {
    void *reply = nullptr;
    if (redisReaderGetReply(context_->reader, &reply) != REDIS_OK) {
        if (over_limit_)
            fail(Failure::Kind::reply_too_large,
                 "a reply over " + std::to_string(limits_.largest_reply) + " bytes");
        fail(Failure::Kind::failed, context_->reader->errstr);
    }
    if (reply != nullptr) reply_bytes_ = 0;
    return Reply(static_cast<redisReply *>(reply));
}

Connection::Deadline Connection::connect_deadline() const {
    return {Clock::now() + limits_.connect_timeout, limits_.connect_timeout, "no connection"};
}

Connection::Deadline Connection::answer_deadline() const {
    return {Clock::now() + limits_.command_timeout, limits_.command_timeout, "no answer"};
}

void Connection::send(std::span<const std::string_view> arguments, Deadline deadline) {
    std::vector<const char *> texts;
    std::vector<std::size_t> lengths;
    for (std::string_view argument : arguments) {
        texts.push_back(argument.data());
        lengths.push_back(argument.size());
    }
    char *formatted = nullptr;
    long long size = redisFormatCommandArgv(&formatted, static_cast<int>(texts.size()),
                                            texts.data(), lengths.data());
    if (size < 0) throw std::bad_alloc();
    std::unique_ptr<char, CommandFree> command(formatted);
    // MSG_NOSIGNAL: a server that hung up must not raise SIGPIPE, which ends the process.
    for (std::size_t sent = 0; sent < static_cast<std::size_t>(size);) {
        ssize_t written = ::send(context_->fd, formatted + sent, size - sent, MSG_NOSIGNAL);
        if (written > 0) {
            sent += static_cast<std::size_t>(written);
        } else if (errno == EAGAIN || errno == EWOULDBLOCK) {
            wait_for(POLLOUT, deadline);
        } else if (errno != EINTR) {
            fail(Failure::Kind::dropped, std::strerror(errno));
        }
    }
}

Reply Connection::receive(Deadline deadline) {
    redisReader &reader = *context_->reader;
    for (;;) {
        if (Reply reply = next_reply()) return reply;
        if (reader.len - reader.pos > limits_.largest_reply)
            fail(Failure::Kind::reply_too_large,
                 "a reply over " + std::to_string(limits_.largest_reply) + " bytes");
        wait_for(POLLIN, deadline);
        read_available();
    }
}

void Connection::read_available() {
    if (!read_buffer_) read_buffer_ = std::make_unique<char[]>(read_buffer_size);
    std::size_t filled = 0;
    while (filled < read_buffer_size) {
        ssize_t size = ::read(context_->fd, read_buffer_.get() + filled, read_buffer_size - filled);
        if (size > 0) {
            filled += static_cast<std::size_t>(size);
        } else if (size == 0) {
            // What came before the end may still complete a reply; the next read fails.
            if (filled > 0) break;
            fail(Failure::Kind::dropped, "the server closed the connection");
        } else if (errno == EAGAIN || errno == EWOULDBLOCK) {
            break;
        } else if (errno != EINTR) {
            fail(Failure::Kind::dropped, std::strerror(errno));
        }
    }
    if (filled > 0 && redisReaderFeed(context_->reader, read_buffer_.get(), filled) != REDIS_OK)
        fail(Failure::Kind::failed, "out of memory for a reply");
}

void Connection::wait_for(short events, Deadline deadline) {
    for (;;) {
        auto remaining = std::chrono::ceil<Milliseconds>(deadline.at - Clock::now());
        if (remaining.count() <= 0)
            fail(Failure::Kind::failed, std::string(deadline.missing) + " within " +
                                            std::to_string(deadline.timeout.count()) + " ms");
        pollfd watched{context_->fd, events, 0};
        int ready = poll(&watched, 1, static_cast<int>(remaining.count()));
        // An error or hang-up counts as ready: the read or write that follows reports it.
        if (ready > 0) return;
        if (ready < 0 && errno != EINTR) fail(Failure::Kind::dropped, std::strerror(errno));
    }
}

void Connection::fail(Failure::Kind kind, const std::string &cause) {
    broken_ = true;
    throw Failure(kind, cause);
}

// hiredis allocates an array's element slots as soon as it reads its length, so a
// reply of a few bytes ("*2147483647") could ask for gigabytes: every object a reply
// builds is charged to it first, and one over the limit is refused (hiredis then
// reports the reply as failed, and the connection is dropped).
void Connection::bound_replies() {
    redisReader &reader = *context_->reader;
    builds_ = reader.fn;
    bounded_ = {bounded_string, bounded_array, bounded_integer, bounded_nil, builds_->freeObject};
    reader.fn = &bounded_;
    reader.privdata = this;
}

bool Connection::charge(std::size_t bytes) {
    if (bytes > limits_.largest_reply || reply_bytes_ > limits_.largest_reply - bytes) {
        over_limit_ = true;
        return false;
    }
    reply_bytes_ += bytes;
    return true;
}

namespace {

Connection &owner(const redisReadTask *task) { return *static_cast<Connection *>(task->privdata); }

}  // namespace

void *Connection::bounded_string(const redisReadTask *task, char *text, std::size_t size) {
    Connection &connection = owner(task);
    if (!connection.charge(sizeof(redisReply) + size)) return nullptr;
    return connection.builds_->createString(task, text, size);
}

void *Connection::bounded_array(const redisReadTask *task, int elements) {
    Connection &connection = owner(task);
    std::size_t slots = elements > 0 ? static_cast<std::size_t>(elements) : 0;
    // Counted so that the product cannot overflow.
    std::size_t bytes = std::min(slots, connection.limits_.largest_reply) * sizeof(redisReply *);
    if (!connection.charge(sizeof(redisReply) + bytes)) return nullptr;
    return connection.builds_->createArray(task, elements);
}

void *Connection::bounded_integer(const redisReadTask *task, long long value) {
    Connection &connection = owner(task);
    if (!connection.charge(sizeof(redisReply))) return nullptr;
    return connection.builds_->createInteger(task, value);
}

void *Connection::bounded_nil(const redisReadTask *task) {
    Connection &connection = owner(task);
    if (!connection.charge(sizeof(redisReply))) return nullptr;
    return connection.builds_->createNil(task);
}

}  // namespace veltrax::store::redis
