#include "kit/xpc/PlainJson.h"

#include <cstdint>
#include <string>
#include <utility>

namespace velmora::kit::xpc {

using nlohmann::json;

namespace {

// Well below the depth the general path refuses, so that nothing refused there is accepted here.
constexpr int kMaxDepth = 8;
// 18 digits always fit in a signed 64-bit integer, so neither sign can overflow.
constexpr std::size_t kMaxDigits = 18;

class PlainReader {
  public:
    explicit PlainReader(std::string_view text) : next_(text.data()), end_(text.data() + text.size()) {}

    std::optional<json> document() {
        auto value = read(0);
        skipSpace();
        if (!value || next_ != end_) return std::nullopt;
        return value;
    }

  private:
    void skipSpace() {
        while (next_ != end_ && (*next_ == ' ' || *next_ == '\t' || *next_ == '\n' || *next_ == '\r'))
            ++next_;
    }

    bool take(char expected) {
        skipSpace();
        if (next_ == end_ || *next_ != expected) return false;
        ++next_;
        return true;
    }

    std::optional<std::string> string() {
        if (!take('"')) return std::nullopt;
        const char* start = next_;
        for (; next_ != end_ && *next_ != '"'; ++next_)
            if (!isPlainCharacter(*next_)) return std::nullopt;
        if (next_ == end_) return std::nullopt;
        return std::string(start, next_++);
    }

    bool literal(std::string_view word) {
        if (static_cast<std::size_t>(end_ - next_) < word.size() ||
            std::string_view(next_, word.size()) != word)
            return false;
        next_ += word.size();
        return true;
    }

    std::optional<json> number() {
        const bool negative = *next_ == '-';
        if (negative) ++next_;
        const char* digits = next_;
        std::uint64_t value = 0;
        for (; next_ != end_ && *next_ >= '0' && *next_ <= '9'; ++next_)
            value = value * 10 + static_cast<std::uint64_t>(*next_ - '0');
        const auto count = static_cast<std::size_t>(next_ - digits);
        if (count == 0 || count > kMaxDigits || (count > 1 && *digits == '0')) return std::nullopt;
        if (next_ != end_ && (*next_ == '.' || *next_ == 'e' || *next_ == 'E')) return std::nullopt;
        // The general parser makes a number without a sign unsigned, and one with a sign signed.
        if (negative) return json(-static_cast<std::int64_t>(value));
        return json(value);
    }

    std::optional<json> read(int depth) {
        skipSpace();
        if (next_ == end_) return std::nullopt;
        switch (*next_) {
            case '{': {
                if (depth >= kMaxDepth) return std::nullopt;
                ++next_;
                json object = json::object();
                if (take('}')) return object;
                do {
                    auto key = string();
                    if (!key || !take(':')) return std::nullopt;
                    auto value = read(depth + 1);
                    if (!value || !object.emplace(std::move(*key), std::move(*value)).second)
                        return std::nullopt;
                } while (take(','));
                if (!take('}')) return std::nullopt;
                return object;
            }
            case '[': {
                if (depth >= kMaxDepth) return std::nullopt;
                ++next_;
                json array = json::array();
                if (take(']')) return array;
                do {
                    auto value = read(depth + 1);
                    if (!value) return std::nullopt;
                    array.push_back(std::move(*value));
                } while (take(','));
                if (!take(']')) return std::nullopt;
                return array;
            }
            case '"': {
                auto text = string();
                if (!text) return std::nullopt;
                return json(std::move(*text));
            }
            case 't':
                if (literal("true")) return json(true);
                return std::nullopt;
            case 'f':
                if (literal("false")) return json(false);
                return std::nullopt;
            case 'n':
                if (literal("null")) return json(nullptr);
                return std::nullopt;
            default:
                return number();
        }
    }

    const char* next_;
    const char* const end_;
};

}  // namespace

std::optional<json> parsePlainJson(std::string_view text) {
    return PlainReader(text).document();
}

}  // namespace velmora::kit::xpc
