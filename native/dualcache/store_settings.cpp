#include "dualcache/store_settings.hpp"

#include <nanobind/nanobind.h>
#include <nanobind/stl/string.h>

#include "dualcache/python_values.hpp"

namespace veltrax::store {

namespace nb = nanobind;

namespace {

constexpr const char *cache_url_variable = "VELTRAX_CACHE_URL";
constexpr const char *cache_namespace_variable = "VELTRAX_CACHE_NAMESPACE";

// An environment variable as the host sees it (os.environ); "" when unset, or when
// it is not UTF-8 text.
std::string environment(const char *name) {
    std::string value;
    if (!nb::try_cast(module_globals().get("os").attr("environ").attr("get")(name, ""), value))
        return {};
    return value;
}

}  // namespace

std::string shared_key_namespace(std::string_view space, std::string_view name) {
    std::string key_namespace = "veltrax:";
    if (!space.empty()) key_namespace.append(space).append(":");
    return key_namespace.append(name).append(":");
}

std::optional<SharedLevel> shared_level(const std::optional<std::string> &given_url,
                                        std::string_view name) {
    std::string url = given_url ? *given_url : environment(cache_url_variable);
    if (url.empty()) return std::nullopt;
    std::optional<RedisAddress> address;
    try {
        address = parse_redis_url(url);
    } catch (const CacheUrlError &error) {
        if (given_url) throw;
        module_globals().get("logger").attr("warning")(
            "{} is not used: {}; the cache stays on this machine", cache_url_variable,
            error.what());
        return std::nullopt;
    }
    return SharedLevel{std::move(*address),
                       shared_key_namespace(environment(cache_namespace_variable), name)};
}

}  // namespace veltrax::store
