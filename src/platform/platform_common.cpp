// The parts of the platform's services that are the same on every system.
#include "platform/platform.h"

namespace varnek {

std::string ctime_text(const std::tm& f) {
    static const char days[7][4] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
    static const char months[12][4] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                       "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    const char* day = (f.tm_wday >= 0 && f.tm_wday < 7) ? days[f.tm_wday] : "???";
    const char* month = (f.tm_mon >= 0 && f.tm_mon < 12) ? months[f.tm_mon] : "???";
    char text[64];
    std::snprintf(text, sizeof text, "%.3s %.3s%3d %.2d:%.2d:%.2d %d\n", day, month, f.tm_mday,
                  f.tm_hour, f.tm_min, f.tm_sec, 1900 + f.tm_year);
    return text;
}

std::string local_date_time(int64_t seconds, char separator) {
    std::tm t{};
    local_time_of(seconds, t);
    char text[64];
    std::snprintf(text, sizeof text, "%04d-%02d-%02d%c%02d:%02d:%02d", t.tm_year + 1900, t.tm_mon + 1, t.tm_mday,
                  separator, t.tm_hour, t.tm_min, t.tm_sec);
    return text;
}

bool sync_folder_of(const char* path) {
    const std::string text = path;
    const size_t slash = text.rfind('/');
    return sync_folder(slash == std::string::npos ? "." : slash == 0 ? "/" : text.substr(0, slash));
}

}  // namespace varnek
