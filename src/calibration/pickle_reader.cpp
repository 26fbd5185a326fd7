#include "calibration/pickle_reader.hpp"

#include <array>
#include <charconv>
#include <cstring>
#include <string>
#include <string_view>
#include <unordered_map>

namespace vintrel::calibration {
namespace {

using Kind = PickleValue::Kind;
using Error = std::unexpected<LoadError>;

// The opcodes of the subset, as Python's pickle module names them.
enum Opcode : std::uint8_t {
    MARK = '(', STOP = '.', NONE = 'N', INT = 'I', BININT = 'J', BININT1 = 'K', BININT2 = 'M', LONG = 'L',
    FLOAT = 'F', BINFLOAT = 'G', STRING = 'S', BINSTRING = 'T', SHORT_BINSTRING = 'U', UNICODE = 'V',
    BINUNICODE = 'X', APPEND = 'a', APPENDS = 'e', LIST = 'l', EMPTY_LIST = ']', TUPLE = 't', EMPTY_TUPLE = ')',
    DICT = 'd', EMPTY_DICT = '}', SETITEM = 's', SETITEMS = 'u', GET = 'g', BINGET = 'h', LONG_BINGET = 'j',
    PUT = 'p', BINPUT = 'q', LONG_BINPUT = 'r', PROTO = 0x80, TUPLE1 = 0x85, TUPLE2 = 0x86, TUPLE3 = 0x87,
    NEWTRUE = 0x88, NEWFALSE = 0x89, LONG1 = 0x8a, LONG4 = 0x8b, SHORT_BINUNICODE = 0x8c, BINUNICODE8 = 0x8d, MEMOIZE = 0x94, FRAME = 0x95,
};

constexpr std::string_view kDataKey = "data";

// Matches a text, delivered piece by piece, against "data".
class DataKeyMatcher {
public:
    void feed(char32_t c) {
        if (length_ < kDataKey.size() && static_cast<char32_t>(kDataKey[length_]) != c) equal_ = false;
        ++length_;
    }
    bool matched() const { return equal_ && length_ == kDataKey.size(); }

private:
    std::size_t length_ = 0;
    bool equal_ = true;
};

int hex_digit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// A protocol-0 UNICODE line is "raw-unicode-escape": \uXXXX and \UXXXXXXXX
// escapes, every other byte a Latin-1 character.
bool unicode_line_is_data(std::string_view line) {
    DataKeyMatcher m;
    for (std::size_t i = 0; i < line.size(); ++i) {
        if (line[i] == '\\' && i + 1 < line.size() && (line[i + 1] == 'u' || line[i + 1] == 'U')) {
            const std::size_t digits = line[i + 1] == 'u' ? 4 : 8;
            if (i + 2 + digits <= line.size()) {
                char32_t cp = 0;
                bool ok = true;
                for (std::size_t k = 0; k < digits; ++k) {
                    const int d = hex_digit(line[i + 2 + k]);
                    ok = ok && d >= 0;
                    cp = cp * 16 + static_cast<char32_t>(d < 0 ? 0 : d);
                }
                if (ok) {
                    m.feed(cp);
                    i += 1 + digits;
                    continue;
                }
            }
        }
        m.feed(static_cast<unsigned char>(line[i]));
    }
    return m.matched();
}

// A protocol-0 STRING line is a quoted literal with backslash escapes.
std::expected<bool, LoadError> string_line_is_data(std::string_view line) {
    if (line.size() < 2 || (line.front() != '\'' && line.front() != '"') || line.back() != line.front())
        return Error(LoadError::MalformedPickle);
    line = line.substr(1, line.size() - 2);
    DataKeyMatcher m;
    for (std::size_t i = 0; i < line.size(); ++i) {
        if (line[i] != '\\' || i + 1 == line.size()) {
            m.feed(static_cast<unsigned char>(line[i]));
            continue;
        }
        const char e = line[++i];
        switch (e) {
            case 'n': m.feed('\n'); break;
            case 't': m.feed('\t'); break;
            case 'r': m.feed('\r'); break;
            case 'a': m.feed('\a'); break;
            case 'b': m.feed('\b'); break;
            case 'f': m.feed('\f'); break;
            case 'v': m.feed('\v'); break;
            case '\\': case '\'': case '"': m.feed(static_cast<unsigned char>(e)); break;
            case '\n': break;
            case 'x': {
                const int hi = i + 1 < line.size() ? hex_digit(line[i + 1]) : -1;
                const int lo = i + 2 < line.size() ? hex_digit(line[i + 2]) : -1;
                if (hi < 0 || lo < 0) return Error(LoadError::MalformedPickle);
                m.feed(static_cast<char32_t>(hi * 16 + lo));
                i += 2;
                break;
            }
            default:
                if (e >= '0' && e <= '7') {
                    unsigned v = static_cast<unsigned>(e - '0');
                    for (int k = 0; k < 2 && i + 1 < line.size() && line[i + 1] >= '0' && line[i + 1] <= '7'; ++k)
                        v = v * 8 + static_cast<unsigned>(line[++i] - '0');
                    m.feed(static_cast<char32_t>(v & 0xFF));
                } else {
                    m.feed('\\');  // unknown escapes keep their backslash
                    m.feed(static_cast<unsigned char>(e));
                }
        }
    }
    return m.matched();
}

// Text of a decimal integer (optional sign, optional trailing 'L' of old
// LONG lines): an Int when it fits 64 bits, else a BigInt.
std::expected<PickleValue, LoadError> parse_int_text(std::string_view text, bool allow_bool) {
    if (allow_bool && (text == "00" || text == "01")) {
        PickleValue v{.kind = Kind::Bool};
        v.integer = text == "01";
        return v;
    }
    if (!text.empty() && text.back() == 'L') text.remove_suffix(1);
    std::string_view digits = text;
    if (!digits.empty() && (digits.front() == '-' || digits.front() == '+')) digits.remove_prefix(1);
    if (digits.empty()) return Error(LoadError::MalformedPickle);
    for (char c : digits)
        if ((c < '0' || c > '9') && c != '_') return Error(LoadError::MalformedPickle);
    if (text.front() == '+') text.remove_prefix(1);
    PickleValue v{.kind = Kind::Int};
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), v.integer);
    if (ec == std::errc::result_out_of_range) return PickleValue{.kind = Kind::BigInt};
    if (ec != std::errc() || end != text.data() + text.size()) return Error(LoadError::MalformedPickle);
    return v;
}

std::expected<PickleValue, LoadError> parse_float_text(std::string_view text) {
    PickleValue v{.kind = Kind::Float};
    if (!text.empty() && text.front() == '+') text.remove_prefix(1);
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), v.real);
    // Out of range means a value below double's smallest subnormal, which
    // pickle reads as +-0, or beyond its range, which pickle refuses
    // (OverflowError) rather than reading as infinity.
    if (ec == std::errc::result_out_of_range) {
        const bool tiny = text.find("e-") != std::string_view::npos || text.find("E-") != std::string_view::npos;
        if (!tiny) return Error(LoadError::MalformedPickle);
        v.real = !text.empty() && text.front() == '-' ? -0.0 : 0.0;
        return v;
    }
    if (ec != std::errc() || end != text.data() + text.size()) return Error(LoadError::MalformedPickle);
    return v;
}

class Decoder {
public:
    explicit Decoder(GzipReader& source) : source_(source) {}

    std::expected<PickleDocument, LoadError> run();

private:
    // --- input ---
    std::expected<void, LoadError> fill() {
        auto n = source_.read(buffer_);
        if (!n) return Error(n.error());
        if (*n == 0) return Error(LoadError::Truncated);
        pos_ = 0;
        end_ = *n;
        return {};
    }
    std::expected<std::uint8_t, LoadError> byte() {
        if (pos_ == end_)
            if (auto ok = fill(); !ok) return Error(ok.error());
        return buffer_[pos_++];
    }
    std::expected<void, LoadError> bytes(std::span<std::uint8_t> out) {
        for (std::size_t done = 0; done < out.size();) {
            if (pos_ == end_)
                if (auto ok = fill(); !ok) return Error(ok.error());
            const std::size_t n = std::min(out.size() - done, end_ - pos_);
            std::memcpy(out.data() + done, buffer_.data() + pos_, n);
            pos_ += n;
            done += n;
        }
        return {};
    }
    // Little-endian unsigned integer of `width` bytes.
    std::expected<std::uint64_t, LoadError> le(std::size_t width) {
        std::array<std::uint8_t, 8> raw{};
        if (auto ok = bytes(std::span(raw).first(width)); !ok) return Error(ok.error());
        std::uint64_t v = 0;
        for (std::size_t i = width; i-- > 0;) v = v << 8 | raw[i];
        return v;
    }
    std::expected<std::string_view, LoadError> line() {
        line_.clear();
        for (;;) {
            auto c = byte();
            if (!c) return Error(c.error());
            if (*c == '\n') break;
            if (line_.size() == kMaxPickleLine) return Error(LoadError::TooLarge);
            line_.push_back(static_cast<char>(*c));
        }
        return std::string_view(line_);
    }
    // Consumes a byte string of `length` bytes, only noting whether it is "data".
    std::expected<bool, LoadError> binary_text(std::uint64_t length) {
        DataKeyMatcher m;
        for (std::uint64_t left = length; left > 0;) {
            if (pos_ == end_)
                if (auto ok = fill(); !ok) return Error(ok.error());
            const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(left, end_ - pos_));
            for (std::size_t i = 0; i < n && length <= kDataKey.size(); ++i) m.feed(buffer_[pos_ + i]);
            pos_ += n;
            left -= n;
        }
        return length == kDataKey.size() && m.matched();
    }
    // A little-endian two's-complement integer of `length` bytes (LONG1, LONG4).
    // It is an Int when it fits 64 bits: every byte above the eighth repeats
    // the sign, and the eighth byte's top bit agrees with it.
    std::expected<PickleValue, LoadError> binary_long(std::uint64_t length) {
        std::uint64_t low = 0;
        std::uint8_t last = 0, byte7 = 0;
        bool zeros_above = true, ones_above = true;
        for (std::uint64_t i = 0; i < length; ++i) {
            auto b = byte();
            if (!b) return Error(b.error());
            if (i < 8) low |= std::uint64_t{*b} << (8 * i);
            if (i == 7) byte7 = *b;
            if (i >= 8) {
                zeros_above = zeros_above && *b == 0x00;
                ones_above = ones_above && *b == 0xFF;
            }
            last = *b;
        }
        const bool negative = (last & 0x80) != 0;
        if (length > 8) {
            const bool fits = negative ? ones_above && (byte7 & 0x80) != 0 : zeros_above && (byte7 & 0x80) == 0;
            if (!fits) return PickleValue{.kind = Kind::BigInt};
        } else if (length > 0 && length < 8 && negative) {
            low |= ~std::uint64_t{0} << (8 * length);  // sign-extend
        }
        return PickleValue{.kind = Kind::Int, .integer = static_cast<std::int64_t>(low)};
    }

    // --- values ---
    std::expected<void, LoadError> count(std::uint64_t n = 1) {
        values_ += n;
        if (values_ > kMaxPickleValues) return Error(LoadError::TooLarge);
        return {};
    }
    std::expected<void, LoadError> push(PickleValue v) {
        if (auto ok = count(); !ok) return ok;
        stack_.push_back(v);
        return {};
    }
    std::expected<PickleValue, LoadError> pop() {
        if (stack_.size() <= floor()) return Error(LoadError::MalformedPickle);
        PickleValue v = stack_.back();
        stack_.pop_back();
        return v;
    }
    std::size_t floor() const { return marks_.empty() ? 0 : marks_.back(); }
    std::expected<PickleValue, LoadError> new_node(Kind kind, std::vector<PickleValue> items = {}) {
        if (doc_.nodes.size() >= kMaxPickleValues) return Error(LoadError::TooLarge);
        if (auto ok = count(); !ok) return Error(ok.error());
        doc_.nodes.push_back(std::move(items));
        return PickleValue{.kind = kind, .node = static_cast<std::uint32_t>(doc_.nodes.size() - 1)};
    }
    // Removes the items above the topmost mark, and the mark.
    std::expected<std::vector<PickleValue>, LoadError> pop_mark() {
        if (marks_.empty()) return Error(LoadError::MalformedPickle);
        const std::size_t at = marks_.back();
        marks_.pop_back();
        std::vector<PickleValue> items(stack_.begin() + static_cast<std::ptrdiff_t>(at), stack_.end());
        stack_.resize(at);
        return items;
    }
    std::expected<void, LoadError> push_node(Kind kind, std::vector<PickleValue> items) {
        if (kind == Kind::Dict && items.size() % 2 != 0) return Error(LoadError::MalformedPickle);
        auto v = new_node(kind, std::move(items));
        if (!v) return Error(v.error());
        stack_.push_back(*v);  // counted by new_node
        return {};
    }
    // Adds items to the list or dict on top of the stack.
    std::expected<void, LoadError> extend(Kind kind, std::vector<PickleValue> items) {
        if (stack_.size() <= floor()) return Error(LoadError::MalformedPickle);
        const PickleValue target = stack_.back();
        if (target.kind != kind || (kind == Kind::Dict && items.size() % 2 != 0))
            return Error(LoadError::MalformedPickle);
        if (auto ok = count(items.size()); !ok) return ok;
        auto& node = doc_.nodes[target.node];
        node.insert(node.end(), items.begin(), items.end());
        return {};
    }
    std::expected<void, LoadError> put(std::uint64_t index) {
        if (stack_.size() <= floor()) return Error(LoadError::MalformedPickle);
        if (auto ok = count(); !ok) return ok;
        memo_[index] = stack_.back();
        return {};
    }
    std::expected<void, LoadError> get(std::uint64_t index) {
        const auto it = memo_.find(index);
        if (it == memo_.end()) return Error(LoadError::MalformedPickle);
        return push(it->second);
    }
    std::expected<std::uint64_t, LoadError> memo_index_line() {
        auto text = line();
        if (!text) return Error(text.error());
        std::uint64_t index = 0;
        const auto [end, ec] = std::from_chars(text->data(), text->data() + text->size(), index);
        if (ec != std::errc() || end != text->data() + text->size()) return Error(LoadError::MalformedPickle);
        return index;
    }
    std::expected<void, LoadError> tuple_of(std::size_t n) {
        if (stack_.size() < floor() + n) return Error(LoadError::MalformedPickle);
        std::vector<PickleValue> items(stack_.end() - static_cast<std::ptrdiff_t>(n), stack_.end());
        stack_.resize(stack_.size() - n);
        return push_node(Kind::Tuple, std::move(items));
    }
    std::expected<void, LoadError> text(std::expected<bool, LoadError> is_data) {
        if (!is_data) return Error(is_data.error());
        PickleValue v{.kind = Kind::Text};
        v.is_data_key = *is_data;
        return push(v);
    }
    std::expected<void, LoadError> value(std::expected<PickleValue, LoadError> v) {
        if (!v) return Error(v.error());
        return push(*v);
    }

    std::expected<void, LoadError> step(std::uint8_t op);

    GzipReader& source_;
    std::array<std::uint8_t, 8192> buffer_{};
    std::size_t pos_ = 0, end_ = 0;
    std::string line_;

    PickleDocument doc_;
    std::vector<PickleValue> stack_;
    std::vector<std::size_t> marks_;
    std::unordered_map<std::uint64_t, PickleValue> memo_;
    std::uint64_t values_ = 0;
    bool stopped_ = false;
};

std::expected<void, LoadError> Decoder::step(std::uint8_t op) {
    switch (op) {
        case PROTO: {
            auto v = byte();
            if (!v) return Error(v.error());
            if (*v > 5) return Error(LoadError::UnsupportedOpcode);
            return {};
        }
        case FRAME: {  // the frame's length is only a read-ahead hint
            auto v = le(8);
            if (!v) return Error(v.error());
            return {};
        }
        case STOP: stopped_ = true; return {};
        case MARK:
            if (auto ok = count(); !ok) return ok;
            marks_.push_back(stack_.size());
            return {};
        case NONE: return push(PickleValue{});
        case NEWTRUE:
        case NEWFALSE: return push(PickleValue{.kind = Kind::Bool, .integer = op == NEWTRUE});

        case INT: {
            auto t = line();
            if (!t) return Error(t.error());
            return value(parse_int_text(*t, true));
        }
        case LONG: {
            auto t = line();
            if (!t) return Error(t.error());
            return value(parse_int_text(*t, false));
        }
        case BININT: {
            auto v = le(4);
            if (!v) return Error(v.error());
            return push(PickleValue{.kind = Kind::Int, .integer = static_cast<std::int32_t>(*v)});
        }
        case BININT1:
        case BININT2: {
            auto v = le(op == BININT1 ? 1 : 2);
            if (!v) return Error(v.error());
            return push(PickleValue{.kind = Kind::Int, .integer = static_cast<std::int64_t>(*v)});
        }
        case LONG1:
        case LONG4: {
            auto n = le(op == LONG1 ? 1 : 4);
            if (!n) return Error(n.error());
            if (op == LONG4 && static_cast<std::int32_t>(*n) < 0) return Error(LoadError::MalformedPickle);
            return value(binary_long(*n));
        }
        case FLOAT: {
            auto t = line();
            if (!t) return Error(t.error());
            return value(parse_float_text(*t));
        }
        case BINFLOAT: {  // 8 bytes, big-endian IEEE double
            std::array<std::uint8_t, 8> raw{};
            if (auto ok = bytes(raw); !ok) return ok;
            std::uint64_t bits = 0;
            for (std::uint8_t b : raw) bits = bits << 8 | b;
            PickleValue v{.kind = Kind::Float};
            std::memcpy(&v.real, &bits, sizeof bits);
            return push(v);
        }

        case UNICODE: {
            auto t = line();
            if (!t) return Error(t.error());
            return text(unicode_line_is_data(*t));
        }
        case STRING: {
            auto t = line();
            if (!t) return Error(t.error());
            std::string_view s = *t;
            if (!s.empty() && s.back() == '\r') s.remove_suffix(1);
            return text(string_line_is_data(s));
        }
        case SHORT_BINUNICODE:
        case SHORT_BINSTRING:
        case BINUNICODE:
        case BINSTRING:
        case BINUNICODE8: {
            const std::size_t width = op == BINUNICODE8 ? 8 : (op == BINUNICODE || op == BINSTRING) ? 4 : 1;
            auto n = le(width);
            if (!n) return Error(n.error());
            if (op == BINSTRING && static_cast<std::int32_t>(*n) < 0) return Error(LoadError::MalformedPickle);
            return text(binary_text(*n));
        }

        case EMPTY_LIST: return push_node(Kind::List, {});
        case EMPTY_TUPLE: return push_node(Kind::Tuple, {});
        case EMPTY_DICT: return push_node(Kind::Dict, {});
        case LIST:
        case TUPLE:
        case DICT: {
            auto items = pop_mark();
            if (!items) return Error(items.error());
            const Kind kind = op == LIST ? Kind::List : op == TUPLE ? Kind::Tuple : Kind::Dict;
            return push_node(kind, std::move(*items));
        }
        case TUPLE1: return tuple_of(1);
        case TUPLE2: return tuple_of(2);
        case TUPLE3: return tuple_of(3);
        case APPEND:
        case SETITEM: {
            const std::size_t n = op == APPEND ? 1 : 2;
            if (stack_.size() < floor() + n) return Error(LoadError::MalformedPickle);
            std::vector<PickleValue> items(stack_.end() - static_cast<std::ptrdiff_t>(n), stack_.end());
            stack_.resize(stack_.size() - n);
            values_ -= n;  // moved from the stack into the container, counted again there
            return extend(op == APPEND ? Kind::List : Kind::Dict, std::move(items));
        }
        case APPENDS:
        case SETITEMS: {
            auto items = pop_mark();
            if (!items) return Error(items.error());
            values_ -= items->size();
            return extend(op == APPENDS ? Kind::List : Kind::Dict, std::move(*items));
        }

        case PUT: {
            auto index = memo_index_line();
            if (!index) return Error(index.error());
            return put(*index);
        }
        case BINPUT:
        case LONG_BINPUT: {
            auto index = le(op == BINPUT ? 1 : 4);
            if (!index) return Error(index.error());
            return put(*index);
        }
        case MEMOIZE: return put(memo_.size());
        case GET: {
            auto index = memo_index_line();
            if (!index) return Error(index.error());
            return get(*index);
        }
        case BINGET:
        case LONG_BINGET: {
            auto index = le(op == BINGET ? 1 : 4);
            if (!index) return Error(index.error());
            return get(*index);
        }
        default: return Error(LoadError::UnsupportedOpcode);
    }
}

std::expected<PickleDocument, LoadError> Decoder::run() {
    while (!stopped_) {
        auto op = byte();
        if (!op) return Error(op.error());
        if (auto ok = step(*op); !ok) return Error(ok.error());
    }
    // STOP returns the one value on the stack; marks left open are malformed.
    if (stack_.size() != 1 || !marks_.empty()) return Error(LoadError::MalformedPickle);
    doc_.root = stack_.back();
    // Bytes already buffered past STOP belong to the caller's trailing check.
    if (pos_ != end_) return Error(LoadError::TrailingBytes);
    return std::move(doc_);
}

}  // namespace

std::expected<PickleDocument, LoadError> read_pickle(GzipReader& source) {
    Decoder decoder(source);
    return decoder.run();
}

}  // namespace vintrel::calibration
