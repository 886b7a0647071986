#include "dualcache/pickle_bounds.hpp"

#include <algorithm>
#include <cstdint>
#include <vector>

#include "dualcache/bytes_io.hpp"

namespace veltrax::store {

namespace {

// The opcodes a pickler of protocol 4 or 5 writes (the store pickles with 5).
// The others (text forms, persistent ids, extension codes, out-of-band buffers,
// numbered memo slots) never appear in a stored value.
enum class Op : std::uint8_t {
    mark = '(',
    stop = '.',
    pop = '0',
    pop_mark = '1',
    binint = 'J',
    binint1 = 'K',
    binint2 = 'M',
    none = 'N',
    binunicode = 'X',
    append = 'a',
    build = 'b',
    empty_dict = '}',
    appends = 'e',
    binget = 'h',
    long_binget = 'j',
    empty_list = ']',
    setitem = 's',
    tuple = 't',
    empty_tuple = ')',
    setitems = 'u',
    binfloat = 'G',
    reduce = 'R',
    binbytes = 'B',
    short_binbytes = 'C',
    proto = 0x80,
    newobj = 0x81,
    tuple1 = 0x85,
    tuple2 = 0x86,
    tuple3 = 0x87,
    newtrue = 0x88,
    newfalse = 0x89,
    long1 = 0x8a,
    long4 = 0x8b,
    short_binunicode = 0x8c,
    binunicode8 = 0x8d,
    binbytes8 = 0x8e,
    empty_set = 0x8f,
    additems = 0x90,
    frozenset = 0x91,
    newobj_ex = 0x92,
    stack_global = 0x93,
    memoize = 0x94,
    frame = 0x95,
    bytearray8 = 0x96,
};

// UTF-8 text becomes at most four bytes a character; an int takes about as
// many bytes as its pickled form, twice that is ample.
constexpr std::size_t text_factor = 4;
constexpr std::size_t int_factor = 2;
constexpr std::size_t memo_slot_bytes = 2 * sizeof(void *);

// The unpickler's stack and memo, holding what each object would cost rather
// than the object. An object's cost is its own and that of everything it holds,
// references included: what copying, hashing or comparing it may take.
class Machine {
public:
    explicit Machine(std::size_t budget) : budget_(budget) {}

    std::size_t run(ByteReader &in) {
        if (static_cast<Op>(in.u8()) != Op::proto)
            throw FormatError("a pickle without its protocol");
        std::uint8_t protocol = in.u8();
        if (protocol < 4 || protocol > 5)
            throw FormatError("a pickle of a protocol the store never writes");
        while (!step(static_cast<Op>(in.u8()), in)) {
        }
        if (in.left()) throw FormatError("bytes after the end of a pickle");
        return spent_;
    }

private:
    // One opcode; true at the end of the pickle.
    bool step(Op op, ByteReader &in) {
        switch (op) {
            case Op::stop: pop(); return true;
            case Op::mark: marks_.push_back(stack_.size()); break;
            case Op::pop:
                if (!marks_.empty() && marks_.back() == stack_.size()) marks_.pop_back();
                else pop();
                break;
            case Op::pop_mark: stack_.resize(pop_mark()); break;
            case Op::frame:
                if (in.fixed<std::uint64_t>() > in.left())
                    throw FormatError("a pickle frame past the end");
                break;

            case Op::none:
            case Op::newtrue:
            case Op::newfalse:
            case Op::empty_tuple:
            case Op::empty_list:
            case Op::empty_dict:
            case Op::empty_set: make(0); break;
            case Op::binint1: make_from(in.take(1), 0); break;
            case Op::binint2: make_from(in.take(2), 0); break;
            case Op::binint: make_from(in.take(4), 0); break;
            case Op::binfloat: make_from(in.take(8), 0); break;
            case Op::long1: make_from(in.take(in.u8()), int_factor); break;
            case Op::long4: {
                auto size = in.fixed<std::int32_t>();
                if (size < 0) throw FormatError("a pickled int of a negative size");
                make_from(in.take(static_cast<std::size_t>(size)), int_factor);
                break;
            }
            case Op::short_binunicode: make_from(in.take(in.u8()), text_factor); break;
            case Op::binunicode: make_from(in.take(in.fixed<std::uint32_t>()), text_factor); break;
            case Op::binunicode8: make_from(in.take(length(in)), text_factor); break;
            case Op::short_binbytes: make_from(in.take(in.u8()), 1); break;
            case Op::binbytes: make_from(in.take(in.fixed<std::uint32_t>()), 1); break;
            case Op::binbytes8:
            case Op::bytearray8: make_from(in.take(length(in)), 1); break;

            case Op::tuple1:
            case Op::tuple2:
            case Op::tuple3: {
                auto items = static_cast<std::size_t>(op) - static_cast<std::size_t>(Op::tuple1) + 1;
                std::size_t cost = 0;
                for (std::size_t i = 0; i < items; ++i) cost += cost_of(pop());
                make_holding(cost);
                break;
            }
            case Op::tuple:
            case Op::frozenset: {
                std::size_t start = pop_mark();
                std::size_t cost = cost_from(start);
                stack_.resize(start);
                make_holding(cost);
                break;
            }
            case Op::append: {
                std::size_t item = pop();
                add_to(top(), cost_of(item));
                break;
            }
            case Op::setitem: {
                std::size_t cost = cost_of(pop());
                cost += cost_of(pop());
                add_to(top(), cost);
                break;
            }
            case Op::appends:
            case Op::additems:
            case Op::setitems: {
                std::size_t start = pop_mark();
                if (op == Op::setitems && (stack_.size() - start) % 2)
                    throw FormatError("a pickled dict item without its value");
                if (start <= fence()) throw FormatError("pickled items without their container");
                std::size_t cost = cost_from(start);
                stack_.resize(start);
                add_to(stack_.back(), cost);
                break;
            }
            case Op::build: {
                std::size_t state = pop();
                add_to(top(), cost_of(state));
                break;
            }
            case Op::stack_global:
            case Op::reduce:
            case Op::newobj:
            case Op::newobj_ex: {
                // A call: what it makes holds at most what it was given.
                std::size_t arguments = op == Op::newobj_ex ? 3 : 2;
                std::size_t cost = 0;
                for (std::size_t i = 0; i < arguments; ++i) cost += cost_of(pop());
                make_holding(cost);
                break;
            }

            case Op::memoize:
                spend(memo_slot_bytes);
                memo_.push_back(top());
                break;
            case Op::binget: fetch(in.u8()); break;
            case Op::long_binget: fetch(in.fixed<std::uint32_t>()); break;

            default: throw FormatError("a pickle opcode the store never writes");
        }
        return false;
    }

    static std::size_t length(ByteReader &in) {
        std::uint64_t size = in.fixed<std::uint64_t>();
        if (size > in.left()) throw FormatError("the value is cut short");
        return static_cast<std::size_t>(size);
    }

    void spend(std::size_t bytes) {
        spent_ += bytes;
        if (spent_ > budget_)
            throw FormatError("a pickle whose objects would take more than a read may make");
    }

    // Every cost is at most what has been spent, so no sum of two overflows.
    std::size_t cost_of(std::size_t object) const { return costs_[object]; }

    std::size_t cost_from(std::size_t start) const {
        std::size_t cost = 0;
        for (std::size_t at = start; at < stack_.size(); ++at) cost += cost_of(stack_[at]);
        return cost;
    }

    void push(std::size_t object) { stack_.push_back(object); }

    void make(std::size_t extra) {
        spend(pickle_object_bytes + extra);
        costs_.push_back(pickle_object_bytes + extra);
        push(costs_.size() - 1);
    }

    void make_from(std::string_view argument, std::size_t factor) {
        make(argument.size() * factor);
    }

    // A new object holding others, which were paid for as they were pushed.
    void make_holding(std::size_t held) {
        spend(pickle_object_bytes);
        costs_.push_back(pickle_object_bytes + held);
        push(costs_.size() - 1);
    }

    void add_to(std::size_t object, std::size_t held) { costs_[object] += held; }

    // A reference to an object made before: paid in full again.
    void fetch(std::size_t slot) {
        if (slot >= memo_.size()) throw FormatError("a pickle memo slot that was never filled");
        spend(cost_of(memo_[slot]));
        push(memo_[slot]);
    }

    // Nothing is taken from below the last mark, as the unpickler enforces.
    std::size_t fence() const { return marks_.empty() ? 0 : marks_.back(); }

    std::size_t pop() {
        if (stack_.size() <= fence()) throw FormatError("a pickle that takes from an empty stack");
        std::size_t object = stack_.back();
        stack_.pop_back();
        return object;
    }

    std::size_t top() const {
        if (stack_.size() <= fence()) throw FormatError("a pickle that takes from an empty stack");
        return stack_.back();
    }

    // Where the last mark was; the mark is gone.
    std::size_t pop_mark() {
        if (marks_.empty()) throw FormatError("a pickle without the mark it needs");
        std::size_t start = marks_.back();
        marks_.pop_back();
        return start;
    }

    std::size_t budget_;
    std::size_t spent_ = 0;
    std::vector<std::size_t> costs_;  // by object
    std::vector<std::size_t> stack_;  // objects
    std::vector<std::size_t> marks_;  // stack sizes
    std::vector<std::size_t> memo_;   // objects, by slot
};

}  // namespace

std::size_t pickle_bound(std::string_view pickle, std::size_t budget) {
    ByteReader in(pickle);
    // Costs stay below the budget, so that adding two never overflows.
    return Machine(std::min(budget, SIZE_MAX / 4)).run(in);
}

}  // namespace veltrax::store
