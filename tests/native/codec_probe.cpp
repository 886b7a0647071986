// _codec_probe: the store's value codec on its own, for the tests that forge
// or mutate stored values by the thousand (through a store, each would be a
// database write and read).
#include <nanobind/nanobind.h>

#include <string>
#include <string_view>

#include "dualcache/codec.hpp"
#include "dualcache/frame.hpp"

namespace nb = nanobind;
using namespace veltrax::store;

namespace {

std::string_view view(const nb::bytes &bytes) { return {bytes.c_str(), bytes.size()}; }

}  // namespace

NB_MODULE(_codec_probe, module) {
    nb::exception<FormatError>(module, "FormatError", PyExc_ValueError);
    nb::exception<UnknownFormat>(module, "UnknownFormat", PyExc_ValueError);
    module.def(
        "encode",
        [](nb::handle value) {
            std::string stored = encode(value).stored;
            return nb::bytes(stored.data(), stored.size());
        },
        "The stored bytes of a value.");
    module.def(
        "seal",
        [](nb::bytes body, std::uint8_t version) {
            ByteWriter writer = start_frame();
            writer.raw(view(body));
            std::string stored = seal_frame(std::move(writer), version);
            return nb::bytes(stored.data(), stored.size());
        },
        "A stored value of this body and format version (flags 0).");
    module.def(
        "decode",
        [](nb::bytes stored, std::size_t budget) {
            Decoded decoded = decode(view(stored), budget);
            return nb::make_tuple(decoded.value, decoded.memory_bytes);
        },
        "(value, memory bytes) of stored bytes, read with a memory budget; FormatError or "
        "UnknownFormat when they cannot be read.");
}
