// Servers for the shared level's tests and benchmark: a real redis-server in a
// temporary directory, and small stand-ins that misbehave on purpose.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <filesystem>
#include <functional>
#include <initializer_list>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace veltrax::testing {

// A loopback port that nothing listens on right now.
int free_port();

// redis-server (from PATH or /usr/bin) on a free loopback port, no persistence.
class RedisServer {
public:
    explicit RedisServer(std::string password = "");
    ~RedisServer();
    RedisServer(const RedisServer &) = delete;
    RedisServer &operator=(const RedisServer &) = delete;

    void kill();   // SIGKILL, as a crash or an OOM kill would
    void start();  // again, on the same port; nothing if it runs
    int port() const { return port_; }
    // "redis://[:password@]127.0.0.1:port/db"
    std::string url(int db = 0) const;
    // One command on a connection of its own, as another client would send it; the reply
    // as text (status, string, error as "ERR ...", integer, or the elements joined by ' ').
    std::string command(std::initializer_list<std::string_view> arguments) const;

private:
    void spawn();
    bool answers() const;

    std::filesystem::path directory_;
    std::string password_;
    int port_ = 0;
    pid_t pid_ = -1;
};

// A TCP listener that accepts nothing and reads nothing: connections complete in the
// kernel's backlog and requests are never answered. With a full backlog (see
// `fill_backlog`), new connections are not even completed.
class SilentServer {
public:
    SilentServer();
    ~SilentServer();
    SilentServer(const SilentServer &) = delete;
    SilentServer &operator=(const SilentServer &) = delete;
    int port() const { return port_; }
    void fill_backlog();

private:
    int listener_ = -1;
    int port_ = 0;
    std::vector<int> waiting_;
};

// Answers each connection from a script: for the n-th request on it, the n-th answer
// (raw bytes), then hangs up once the script is done. An empty script hangs up at once,
// without reading.
class ScriptedServer {
public:
    using Script = std::function<std::vector<std::string>()>;
    explicit ScriptedServer(Script script);
    ~ScriptedServer();
    ScriptedServer(const ScriptedServer &) = delete;
    ScriptedServer &operator=(const ScriptedServer &) = delete;
    int port() const { return port_; }
    // Every request received so far, as raw bytes.
    std::vector<std::string> requests() const;

private:
    void serve();

    Script script_;
    int listener_ = -1;
    int port_ = 0;
    std::atomic<bool> stopping_{false};
    mutable std::mutex mutex_;
    std::vector<std::string> requests_;
    std::thread thread_;
};

}  // namespace veltrax::testing
