// Bind markers, as statement preparation reads them.
//
// "#{NAME}" with a name of letters, digits, "_" and "-" binds params[NAME]. Any other "#{...}"
// (up to the first "}") is still rewritten to ":..." but gets no bind value, so the database
// sees a bind nobody fills; "#{}" and a "#{" with no "}" after it stay in the SQL as written.
// Each text run is checked on its own: a marker that only a later text or a dynamic element
// would close is reported as unclosed.
#include <algorithm>

#include "checker.hpp"

namespace velmo::checker {

namespace {

bool name_char(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' || c == '-';
}

bool is_name(std::string_view s) {
    if (s.empty()) return false;
    for (char c : s)
        if (!name_char(c)) return false;
    return true;
}

}  // namespace

void check_markers(const TextRun& run, const std::vector<std::string>& items, Report& report) {
    const std::string& s = run.chars;
    for (size_t at = s.find("#{"); at != std::string::npos;) {
        size_t close = s.find('}', at + 2);
        if (close == std::string::npos) {
            size_t end = at + 2;
            while (end < s.size() && name_char(s[end])) ++end;
            report.error(run.position_of(at), "unclosed marker " + quoted(std::string_view(s).substr(at, end - at)));
            return;
        }
        std::string_view name = std::string_view(s).substr(at + 2, close - at - 2);
        if (name.empty()) {
            report.error(run.position_of(at), "empty marker '#{}' is left in the SQL as written");
        } else if (!is_name(name) && std::find(items.begin(), items.end(), name) == items.end()) {
            report.error(run.position_of(at), "marker " + quoted(std::string_view(s).substr(at, close + 1 - at)) +
                                                  " gets no bind value: a marker name is letters, digits, '_' and '-'");
        }
        at = s.find("#{", close + 1);
    }
}

}  // namespace velmo::checker
