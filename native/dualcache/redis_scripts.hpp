// The shared level's server-side scripts. Each change of an entry runs as one
// script, atomically with the index and the change times beside it:
//
//   <namespace>KEY        the entry: the sealed frame, the same bytes cache.db holds
//   <meta>keys            the index: a sorted set of every KEY (score 0, so that a
//                         prefix is one ZRANGEBYLEX)
//   <meta>changed         when each KEY last changed, removals included: a sorted set
//                         scored by milliseconds since the epoch, as the writer's clock
//                         read them
//
// where <meta> is the namespace with its last ':' made '#' ("veltrax:kline#"): beside
// the entries, yet outside their prefix (not tracked, never listed as an entry).
//
// A change comes with when it was made and what its maker last saw under the key
// ("" nothing known, "-" no value, else the 8 bytes of the value's version):
// - a write is applied when the key still holds what its maker saw, or when no change
//   of the key is later than it (of two in the same millisecond, the last to arrive wins);
// - a removal takes away only the value its maker saw; when its maker saw nothing, only
//   a value no later than itself.
// So a change sent late (after an outage) never overwrites a later write nor brings
// back a key removed after it, and removing a stale copy never deletes a value
// someone wrote since. Change times are kept for `retention_ms` (as the server's
// clock counts); no change older than that is sent.
//
// Listing reads the index and drops members whose entry has gone (evicted by Redis's
// LRU, or removed by a client that keeps no index).
#pragma once

#include <cstdint>
#include <string>

namespace veltrax::store::redis_scripts {

inline constexpr std::int64_t retention_ms = std::int64_t{7} * 24 * 3600 * 1000;

inline std::string common() {
    return "local retention = " + std::to_string(retention_ms) + "\n" + R"lua(
local function held(key)
  local kind = redis.call('TYPE', key)['ok']
  if kind == 'none' then return '-' end
  if kind ~= 'string' then return '?' end
  local header = redis.call('GETRANGE', key, 0, 11)
  if #header < 12 or string.sub(header, 1, 2) ~= 'VX' then return '?' end
  return string.sub(header, 5, 12)
end
local function last_change(changes, member)
  return tonumber(redis.call('ZSCORE', changes, member))
end
local function forget_old_changes(changes)
  local now = redis.call('TIME')
  redis.call('ZREMRANGEBYSCORE', changes, '-inf', '(' .. (tonumber(now[1]) * 1000 - retention))
end
)lua";
}

// KEYS: entry, index, changes. ARGV: value, key, changed, seen. 1: written; 0: a later
// change stands.
inline std::string write() {
    return common() + R"lua(
local changed, seen = tonumber(ARGV[3]), ARGV[4]
local last = last_change(KEYS[3], ARGV[2])
local as_seen = seen ~= '' and held(KEYS[1]) == seen
if not as_seen and last and changed < last then return 0 end
redis.call('SET', KEYS[1], ARGV[1])
redis.call('ZADD', KEYS[2], 0, ARGV[2])
redis.call('ZADD', KEYS[3], math.max(changed, last or changed), ARGV[2])
forget_old_changes(KEYS[3])
return 1
)lua";
}

// KEYS: entry, index, changes. ARGV: key, changed, seen. 2: removed; 1: a value kept
// (one its maker had not seen, or a later one); 0: no value there.
inline std::string remove() {
    return common() + R"lua(
local changed, seen = tonumber(ARGV[2]), ARGV[3]
local last = last_change(KEYS[3], ARGV[1])
local later = last and changed < last
local now = held(KEYS[1])
if now == '-' then
  redis.call('ZREM', KEYS[2], ARGV[1])
  if seen == '' and not later then redis.call('ZADD', KEYS[3], changed, ARGV[1]) end
  return 0
end
if (seen ~= '' and now ~= seen) or (seen == '' and later) then return 1 end
redis.call('DEL', KEYS[1])
redis.call('ZREM', KEYS[2], ARGV[1])
redis.call('ZADD', KEYS[3], math.max(changed, last or changed), ARGV[1])
forget_old_changes(KEYS[3])
return 2
)lua";
}

// KEYS: index. ARGV: namespace, from, to (ZRANGEBYLEX bounds). The keys whose entries
// are there.
inline std::string list() {
    return R"lua(
local found = {}
for _, key in ipairs(redis.call('ZRANGEBYLEX', KEYS[1], ARGV[2], ARGV[3])) do
  if redis.call('TYPE', ARGV[1] .. key)['ok'] == 'string' then
    found[#found + 1] = key
  else
    redis.call('ZREM', KEYS[1], key)
  end
end
return found
)lua";
}

}  // namespace veltrax::store::redis_scripts
