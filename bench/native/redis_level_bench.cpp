// The shared level's round trips on loopback, beside a bare blocking hiredis call
// doing the same (the floor for any client on hiredis), in one run. Values the size
// of a stored 30,000-bar list (about 2 MB) and of a small one (15 KB).
//   build/release/redis_level_bench
#include <hiredis/hiredis.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <functional>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "dualcache/redis_level.hpp"
#include "redis_processes.hpp"

namespace {

using Clock = std::chrono::steady_clock;

// Seconds per call of each, baseline and ours: batches taken in turn, so that load
// from elsewhere on the machine falls on both alike; the median batch of each.
std::pair<double, double> interleaved_times(const std::function<void()> &baseline,
                                            const std::function<void()> &ours) {
    auto seconds_per_call = [](const std::function<void()> &work, long calls) {
        auto start = Clock::now();
        for (long i = 0; i < calls; ++i) work();
        return std::chrono::duration<double>(Clock::now() - start).count() /
               static_cast<double>(calls);
    };
    baseline();
    ours();
    long calls = 1;
    while (seconds_per_call(baseline, calls) * static_cast<double>(calls) < 0.02) calls *= 2;
    std::vector<double> baseline_times, our_times;
    for (int batch = 0; batch < 21; ++batch) {
        baseline_times.push_back(seconds_per_call(baseline, calls));
        our_times.push_back(seconds_per_call(ours, calls));
    }
    auto median = [](std::vector<double> &times) {
        std::nth_element(times.begin(), times.begin() + times.size() / 2, times.end());
        return times[times.size() / 2];
    };
    return {median(baseline_times), median(our_times)};
}

std::string human(double seconds) {
    char text[32];
    if (seconds >= 1e-3)
        std::snprintf(text, sizeof text, "%.3g ms", seconds * 1e3);
    else
        std::snprintf(text, sizeof text, "%.3g µs", seconds * 1e6);
    return text;
}

std::string random_bytes(std::size_t size) {
    std::mt19937_64 generator(size);
    std::string bytes(size, '\0');
    for (char &byte : bytes) byte = static_cast<char>(generator());
    return bytes;
}

// A plain blocking hiredis connection: one call, its reply copied out, as a client would.
class BareHiredis {
public:
    explicit BareHiredis(int port) : context_(redisConnectWithTimeout("127.0.0.1", port, {1, 0})) {
        if (context_ == nullptr || context_->err) throw std::runtime_error("cannot connect");
    }
    ~BareHiredis() { redisFree(context_); }
    std::string get(const std::string &key) {
        auto *reply =
            static_cast<redisReply *>(redisCommand(context_, "GET %b", key.data(), key.size()));
        std::string value(reply->str, reply->len);
        freeReplyObject(reply);
        return value;
    }
    void set(const std::string &key, const std::string &value) {
        freeReplyObject(redisCommand(context_, "SET %b %b", key.data(), key.size(), value.data(),
                                     value.size()));
    }

private:
    redisContext *context_;
};

}  // namespace

int main() {
    veltrax::testing::RedisServer server;
    veltrax::store::RedisLevel level(veltrax::store::parse_redis_url(server.url()),
                                     "veltrax:kline:", {},
                                     [](const char *message, std::vector<std::string>) {
                                         std::fprintf(stderr, "warning: %s\n", message);
                                     });
    BareHiredis bare(server.port());

    struct Row {
        std::string scenario;
        std::pair<double, double> times;  // baseline, ours
    };
    std::vector<Row> rows;
    // Writes go as the store sends them: a conditional script, made now.
    auto put = [&](const std::string &key, const std::string &value) {
        auto now = std::chrono::system_clock::now().time_since_epoch();
        level.put(key, value, {}, std::chrono::duration_cast<std::chrono::milliseconds>(now).count());
    };
    for (auto [name, size] : {std::pair{"2 MB (30,000 bars)", std::size_t{2'000'000}},
                              std::pair{"15 KB", std::size_t{15'000}}}) {
        std::string value = random_bytes(size);
        std::string key = "bench|" + std::to_string(size);
        put(key, value);
        rows.push_back({std::string("get ") + name,
                        interleaved_times([&] { bare.get("veltrax:kline:" + key); },
                                          [&] { level.get(key); })});
        rows.push_back({std::string("put ") + name,
                        interleaved_times([&] { bare.set("veltrax:kline:" + key, value); },
                                          [&] { put(key, value); })});
    }
    std::printf("%-26s %-16s %14s %12s %7s\n", "scenario", "baseline", "baseline time", "ours",
                "ratio");
    for (const Row &row : rows)
        std::printf("%-26s %-16s %14s %12s %6.2gx\n", row.scenario.c_str(), "bare hiredis",
                    human(row.times.first).c_str(), human(row.times.second).c_str(),
                    row.times.first / row.times.second);
    return 0;
}
