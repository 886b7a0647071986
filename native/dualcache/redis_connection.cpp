#include "dualcache/redis_connection.hpp"

#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstring>
#include <vector>

namespace veltrax::store::redis {

namespace {

// hiredis writes with write(), which raises SIGPIPE on a connection the server has
// closed; that would end the whole process. The signal is held back on this thread
// while we write, and one that our write raised is taken off again.
class SigpipeHeld {
public:
    SigpipeHeld() {
        sigemptyset(&pipe_);
        sigaddset(&pipe_, SIGPIPE);
        sigset_t pending;
        sigpending(&pending);
        already_pending_ = sigismember(&pending, SIGPIPE) == 1;
        pthread_sigmask(SIG_BLOCK, &pipe_, &previous_);
    }
    ~SigpipeHeld() {
        if (!already_pending_) {
            sigset_t pending;
            sigpending(&pending);
            if (sigismember(&pending, SIGPIPE) == 1) {
                timespec no_wait{0, 0};
                while (sigtimedwait(&pipe_, nullptr, &no_wait) < 0 && errno == EINTR) {
                }
            }
        }
        pthread_sigmask(SIG_SETMASK, &previous_, nullptr);
    }
    SigpipeHeld(const SigpipeHeld &) = delete;
    SigpipeHeld &operator=(const SigpipeHeld &) = delete;

private:
    sigset_t pipe_;
    sigset_t previous_;
    bool already_pending_ = false;
};

void append(redisContext *context, std::initializer_list<std::string_view> arguments) {
    std::vector<const char *> texts;
    std::vector<std::size_t> lengths;
    texts.reserve(arguments.size());
    lengths.reserve(arguments.size());
    for (std::string_view argument : arguments) {
        texts.push_back(argument.data());
        lengths.push_back(argument.size());
    }
    if (redisAppendCommandArgv(context, static_cast<int>(texts.size()), texts.data(),
                               lengths.data()) != REDIS_OK)
        throw std::bad_alloc();
}

}  // namespace

Connection::Connection(const RedisAddress &address, Limits limits) : limits_(limits) {
    Deadline connected = connect_deadline();
    context_.reset(redisConnectNonBlock(address.host.c_str(), address.port));
    if (!context_) throw std::bad_alloc();
    if (context_->err != 0) fail(Failure::Kind::unreachable, context_->errstr);
    wait_for(POLLOUT, connected);
    int error = 0;
    socklen_t size = sizeof error;
    if (getsockopt(context_->fd, SOL_SOCKET, SO_ERROR, &error, &size) != 0) error = errno;
    if (error != 0) fail(Failure::Kind::unreachable, std::strerror(error));
    redisEnableKeepAlive(context_.get());

    // AUTH and SELECT go out together: one round trip.
    bool authenticate = !address.password.empty();
    bool select = address.db != 0;
    if (authenticate && address.user.empty()) append(context_.get(), {"AUTH", address.password});
    if (authenticate && !address.user.empty())
        append(context_.get(), {"AUTH", address.user, address.password});
    std::string db = std::to_string(address.db);
    if (select) append(context_.get(), {"SELECT", db});
    if (!authenticate && !select) return;

    Deadline answered = answer_deadline();
    flush(answered);
    if (authenticate) {
        Reply reply = receive(answered);
        if (reply->type == REDIS_REPLY_ERROR)
            fail(Failure::Kind::refused,
                 "authentication refused: " + std::string(reply->str, reply->len));
    }
    if (select) {
        Reply reply = receive(answered);
        if (reply->type == REDIS_REPLY_ERROR)
            fail(Failure::Kind::refused,
                 "database " + db + " refused: " + std::string(reply->str, reply->len));
    }
}

Reply Connection::command(std::initializer_list<std::string_view> arguments) {
    Deadline answered = answer_deadline();
    append(context_.get(), arguments);
    flush(answered);
    return receive(answered);
}

Connection::Deadline Connection::connect_deadline() const {
    return {Clock::now() + limits_.connect_timeout, limits_.connect_timeout, "no connection"};
}

Connection::Deadline Connection::answer_deadline() const {
    return {Clock::now() + limits_.command_timeout, limits_.command_timeout, "no answer"};
}

void Connection::flush(Deadline deadline) {
    SigpipeHeld sigpipe_held;
    for (int done = 0;;) {
        if (redisBufferWrite(context_.get(), &done) != REDIS_OK) fail_from_context();
        if (done) return;
        wait_for(POLLOUT, deadline);
    }
}

Reply Connection::receive(Deadline deadline) {
    for (;;) {
        void *reply = nullptr;
        if (redisGetReplyFromReader(context_.get(), &reply) != REDIS_OK) fail_from_context();
        if (reply != nullptr) return Reply(static_cast<redisReply *>(reply));
        const redisReader &reader = *context_->reader;
        if (reader.len - reader.pos > limits_.largest_reply)
            fail(Failure::Kind::reply_too_large,
                 "a reply over " + std::to_string(limits_.largest_reply) + " bytes");
        wait_for(POLLIN, deadline);
        if (redisBufferRead(context_.get()) != REDIS_OK) fail_from_context();
    }
}

void Connection::wait_for(short events, Deadline deadline) {
    for (;;) {
        auto remaining = std::chrono::ceil<Milliseconds>(deadline.at - Clock::now());
        if (remaining.count() <= 0)
            fail(Failure::Kind::timed_out, std::string(deadline.missing) + " within " +
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

void Connection::fail_from_context() {
    switch (context_->err) {
        case REDIS_ERR_EOF:
            fail(Failure::Kind::dropped, "the server closed the connection");
        case REDIS_ERR_IO:
            fail(Failure::Kind::dropped, context_->errstr);
        default:
            fail(Failure::Kind::unexpected, context_->errstr);
    }
}

}  // namespace veltrax::store::redis
