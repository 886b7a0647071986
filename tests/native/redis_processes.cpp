#include "redis_processes.hpp"

#include <arpa/inet.h>
#include <hiredis/hiredis.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <random>
#include <sstream>
#include <stdexcept>

extern char **environ;

namespace veltrax::testing {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

int loopback_listener(int backlog, int *port) {
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof address;
    if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr *>(&address), size) != 0 ||
        ::listen(fd, backlog) != 0 ||
        ::getsockname(fd, reinterpret_cast<sockaddr *>(&address), &size) != 0)
        throw std::runtime_error("cannot listen on loopback");
    *port = ntohs(address.sin_port);
    return fd;
}

fs::path redis_server_program() {
    if (const char *path = std::getenv("PATH")) {
        std::stringstream directories(path);
        for (std::string directory; std::getline(directories, directory, ':');)
            if (fs::path candidate = fs::path(directory) / "redis-server";
                ::access(candidate.c_str(), X_OK) == 0)
                return candidate;
    }
    if (::access("/usr/bin/redis-server", X_OK) == 0) return "/usr/bin/redis-server";
    throw std::runtime_error(
        "redis-server not found on PATH or in /usr/bin: `make test` installs the Debian package "
        "redis-server");
}

std::string reply_text(const redisReply &reply) {
    switch (reply.type) {
        case REDIS_REPLY_INTEGER:
            return std::to_string(reply.integer);
        case REDIS_REPLY_NIL:
            return "(nil)";
        case REDIS_REPLY_ARRAY: {
            std::string joined;
            for (std::size_t i = 0; i < reply.elements; ++i) {
                if (i > 0) joined += ' ';
                joined += reply_text(*reply.element[i]);
            }
            return joined;
        }
        default:
            return std::string(reply.str, reply.len);
    }
}

}  // namespace

int free_port() {
    int port = 0;
    ::close(loopback_listener(1, &port));
    return port;
}

RedisServer::RedisServer(std::string password) : password_(std::move(password)) {
    directory_ =
        fs::temp_directory_path() / ("redis-level-" + std::to_string(std::random_device{}()));
    fs::create_directories(directory_);
    // Another process may take the free port first: then try another.
    for (int tries = 0; pid_ < 0; ++tries) {
        port_ = free_port();
        try {
            start();
        } catch (const std::runtime_error &) {
            if (tries == 4) throw;
        }
    }
}

RedisServer::~RedisServer() {
    kill();
    std::error_code ignored;
    fs::remove_all(directory_, ignored);
}

void RedisServer::kill() {
    if (pid_ < 0) return;
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
    pid_ = -1;
}

void RedisServer::start() {
    if (pid_ >= 0) return;
    spawn();
    for (auto give_up = std::chrono::steady_clock::now() + 10s; !answers();) {
        int status = 0;
        if (::waitpid(pid_, &status, WNOHANG) == pid_ ||
            std::chrono::steady_clock::now() > give_up) {
            kill();
            std::ifstream log(directory_ / "redis.log");
            std::stringstream text;
            text << log.rdbuf();
            throw std::runtime_error("redis-server did not start on port " + std::to_string(port_) +
                                     ":\n" + text.str());
        }
        std::this_thread::sleep_for(10ms);
    }
}

void RedisServer::spawn() {
    std::string program = redis_server_program();
    std::vector<std::string> arguments = {program,
                                          "--port",
                                          std::to_string(port_),
                                          "--bind",
                                          "127.0.0.1",
                                          "--dir",
                                          directory_,
                                          "--logfile",
                                          "redis.log",
                                          "--save",
                                          "",
                                          "--appendonly",
                                          "no",
                                          "--daemonize",
                                          "no"};
    if (!password_.empty()) {
        arguments.push_back("--requirepass");
        arguments.push_back(password_);
    }
    std::vector<char *> argv;
    for (std::string &argument : arguments) argv.push_back(argument.data());
    argv.push_back(nullptr);
    if (::posix_spawn(&pid_, program.c_str(), nullptr, nullptr, argv.data(), environ) != 0)
        throw std::runtime_error("cannot start " + program);
}

bool RedisServer::answers() const {
    try {
        return command({"PING"}) == "PONG";
    } catch (const std::runtime_error &) {
        return false;
    }
}

std::string RedisServer::url(int db) const {
    return "redis://" + (password_.empty() ? "" : ":" + password_ + "@") +
           "127.0.0.1:" + std::to_string(port_) + "/" + std::to_string(db);
}

std::string RedisServer::command(std::initializer_list<std::string_view> arguments) const {
    redisContext *context = redisConnectWithTimeout("127.0.0.1", port_, timeval{2, 0});
    auto close = [&] { redisFree(context); };
    if (context == nullptr || context->err) {
        std::string cause = context ? context->errstr : "out of memory";
        close();
        throw std::runtime_error("cannot reach redis-server: " + cause);
    }
    redisSetTimeout(context, timeval{10, 0});
    std::vector<const char *> texts;
    std::vector<std::size_t> lengths;
    if (!password_.empty()) {
        texts = {"AUTH", password_.c_str()};
        lengths = {4, password_.size()};
        freeReplyObject(redisCommandArgv(context, 2, texts.data(), lengths.data()));
        texts.clear();
        lengths.clear();
    }
    for (std::string_view argument : arguments) {
        texts.push_back(argument.data());
        lengths.push_back(argument.size());
    }
    auto *reply = static_cast<redisReply *>(
        redisCommandArgv(context, static_cast<int>(texts.size()), texts.data(), lengths.data()));
    if (reply == nullptr) {
        std::string cause = context->errstr;
        close();
        throw std::runtime_error("redis-server did not answer: " + cause);
    }
    std::string text = reply_text(*reply);
    freeReplyObject(reply);
    close();
    return text;
}

SilentServer::SilentServer() { listener_ = loopback_listener(0, &port_); }

SilentServer::~SilentServer() {
    for (int fd : waiting_) ::close(fd);
    ::close(listener_);
}

void SilentServer::fill_backlog() {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<std::uint16_t>(port_));
    // A backlog of 0 holds one connection; the next ones wait for SYN retries.
    for (int i = 0; i < 2; ++i) {
        int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
        ::connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof address);
        waiting_.push_back(fd);
    }
    std::this_thread::sleep_for(50ms);
}

ScriptedServer::ScriptedServer(Script script) : script_(std::move(script)) {
    listener_ = loopback_listener(16, &port_);
    thread_ = std::thread([this] { serve(); });
}

ScriptedServer::~ScriptedServer() {
    stopping_ = true;
    thread_.join();
    ::close(listener_);
}

std::vector<std::string> ScriptedServer::requests() const {
    std::lock_guard lock(mutex_);
    return requests_;
}

void ScriptedServer::serve() {
    while (!stopping_) {
        pollfd listening{listener_, POLLIN, 0};
        if (::poll(&listening, 1, 20) <= 0) continue;
        int connection = ::accept(listener_, nullptr, nullptr);
        if (connection < 0) continue;
        for (const std::string &answer : script_()) {
            pollfd reading{connection, POLLIN, 0};
            char buffer[65536];
            ssize_t size =
                ::poll(&reading, 1, 2000) > 0 ? ::read(connection, buffer, sizeof buffer) : 0;
            if (size <= 0) break;
            {
                std::lock_guard lock(mutex_);
                requests_.emplace_back(buffer, static_cast<std::size_t>(size));
            }
            ::send(connection, answer.data(), answer.size(), MSG_NOSIGNAL);
        }
        ::close(connection);
    }
}

}  // namespace veltrax::testing
