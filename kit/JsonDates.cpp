#include <cstdio>

#include "kit/JsonCodec.h"

namespace velmora::kit::jsoncodec {

namespace {

bool digitsAt(std::string_view text, std::size_t position, std::size_t count, int& value) {
    value = 0;
    for (std::size_t i = position; i < position + count; ++i) {
        if (text[i] < '0' || text[i] > '9') return false;
        value = value * 10 + (text[i] - '0');
    }
    return true;
}

// The instants that still format as a four-digit year.
constexpr std::chrono::sys_seconds earliestInstant{std::chrono::sys_days{std::chrono::year{0} / 1 / 1}};
constexpr std::chrono::sys_seconds endOfYear9999{std::chrono::sys_days{std::chrono::year{10000} / 1 / 1}};

}  // namespace

std::optional<std::chrono::sys_seconds> parseInternetDateTime(std::string_view text) {
    using namespace std::chrono;
    if (text.size() != 20 && text.size() != 25) return std::nullopt;
    if (text[4] != '-' || text[7] != '-' || text[10] != 'T' || text[13] != ':' || text[16] != ':')
        return std::nullopt;
    int yearValue = 0, monthValue = 0, dayValue = 0, hourValue = 0, minuteValue = 0, secondValue = 0;
    if (!digitsAt(text, 0, 4, yearValue) || !digitsAt(text, 5, 2, monthValue) ||
        !digitsAt(text, 8, 2, dayValue) || !digitsAt(text, 11, 2, hourValue) ||
        !digitsAt(text, 14, 2, minuteValue) || !digitsAt(text, 17, 2, secondValue))
        return std::nullopt;
    if (hourValue > 23 || minuteValue > 59 || secondValue > 59) return std::nullopt;
    year_month_day date{year{yearValue}, month{static_cast<unsigned>(monthValue)},
                        day{static_cast<unsigned>(dayValue)}};
    if (!date.ok()) return std::nullopt;

    seconds offset{0};
    if (text.size() == 20) {
        if (text[19] != 'Z') return std::nullopt;
    } else {
        int offsetHours = 0, offsetMinutes = 0;
        if ((text[19] != '+' && text[19] != '-') || text[22] != ':' || !digitsAt(text, 20, 2, offsetHours) ||
            !digitsAt(text, 23, 2, offsetMinutes) || offsetHours > 23 || offsetMinutes > 59)
            return std::nullopt;
        offset = hours{offsetHours} + minutes{offsetMinutes};
        if (text[19] == '-') offset = -offset;
    }
    // Local time is UTC plus the offset.
    sys_seconds instant =
        sys_days{date} + hours{hourValue} + minutes{minuteValue} + seconds{secondValue} - offset;
    if (instant < earliestInstant || instant >= endOfYear9999) return std::nullopt;
    return instant;
}

std::optional<std::string> formatInternetDateTime(std::chrono::sys_seconds instant) {
    using namespace std::chrono;
    if (instant < earliestInstant || instant >= endOfYear9999) return std::nullopt;
    sys_days dayStart = floor<days>(instant);
    year_month_day date{dayStart};
    hh_mm_ss time{instant - dayStart};
    char buffer[32];
    std::snprintf(buffer, sizeof buffer, "%04d-%02u-%02uT%02d:%02d:%02dZ", static_cast<int>(date.year()),
                  static_cast<unsigned>(date.month()), static_cast<unsigned>(date.day()),
                  static_cast<int>(time.hours().count()), static_cast<int>(time.minutes().count()),
                  static_cast<int>(time.seconds().count()));
    return std::string(buffer);
}

}  // namespace velmora::kit::jsoncodec
