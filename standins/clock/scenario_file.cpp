#include "standins/clock/scenario_file.h"

#include <windows.h>

#include <algorithm>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <iterator>
#include <map>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

#include "com/text.h"

namespace clocksim {
namespace {

using nlohmann::json;

// ---- Where things stand in the text ------------------------------------------------------------
// The parser keeps no positions, so the text is walked once more to find the line of each member
// (where its key stands) and of each array element (where its value starts), by path:
// "devices[1].log[0].time".

std::string Member(const std::string& path, const std::string& key) {
    return path.empty() ? key : path + "." + key;
}

std::string Element(const std::string& path, size_t index) {
    return path + "[" + std::to_string(index) + "]";
}

struct Places {
    std::map<std::string, int> lines;                   // first place of each path
    std::vector<std::pair<std::string, int>> repeated;  // a member given twice, second place
    std::string last;                                   // the innermost path at the stop
};

// A quoted text with escapes as the parser reads it ("\u0070ort" is "port"), so that a key is
// known however it is written; as it stands when it is no JSON text.
std::string Unescaped(const std::string& quoted) {
    try {
        const json text = json::parse(quoted);
        if (text.is_string()) return text.get<std::string>();
    } catch (const json::exception&) {
    }
    return quoted.substr(1, quoted.size() >= 2 ? quoted.size() - 2 : 0);
}

// Reads up to `stop`, and copes with a text that breaks off or is no JSON.
Places Locate(const std::string& text, size_t stop) {
    struct Frame {
        bool array;
        std::string path;
        size_t index;
    };
    Places out;
    std::vector<Frame> stack;
    std::string pending;  // the path of the value that comes next
    bool expectKey = false;
    int line = 1;
    auto inArray = [&] { return !stack.empty() && stack.back().array; };
    auto note = [&](const std::string& path) {
        if (!out.lines.emplace(path, line).second) out.repeated.emplace_back(path, line);
    };
    const size_t end = std::min(stop, text.size());
    for (size_t i = 0; i < end; ++i) {
        const char c = text[i];
        if (c == '\n') {
            ++line;
        } else if (c == ' ' || c == '\t' || c == '\r' || c == ':') {
        } else if (c == '"') {
            const size_t from = i;
            bool escaped = false;
            for (++i; i < end && text[i] != '"'; ++i) {
                if (text[i] == '\\' && i + 1 < end) {
                    ++i;
                    escaped = true;
                }
            }
            const std::string raw = escaped ? Unescaped(text.substr(from, i + 1 - from))
                                            : text.substr(from + 1, i - from - 1);
            if (expectKey && !stack.empty()) {
                pending = Member(stack.back().path, raw);
                note(pending);
                expectKey = false;
            } else if (inArray()) {
                note(pending);
            }
        } else if (c == '{' || c == '[') {
            if (inArray()) note(pending);
            stack.push_back({c == '[', pending, 0});
            expectKey = c == '{';
            if (c == '[') pending = Element(stack.back().path, 0);
        } else if (c == '}' || c == ']') {
            if (!stack.empty()) {
                pending = stack.back().path;
                stack.pop_back();
            }
            expectKey = false;
        } else if (c == ',') {
            if (inArray()) {
                pending = Element(stack.back().path, ++stack.back().index);
            } else {
                expectKey = true;
            }
        } else {
            // A number or a literal, up to the next delimiter.
            if (inArray()) note(pending);
            while (i + 1 < end && !std::strchr(",]} \t\r\n", text[i + 1])) ++i;
        }
    }
    out.last = pending;
    return out;
}

int LineOf(const Places& places, std::string path) {
    while (!path.empty()) {
        auto found = places.lines.find(path);
        if (found != places.lines.end()) return found->second;
        const size_t cut = path.find_last_of(".[");
        path.erase(cut == std::string::npos ? 0 : cut);
    }
    return 1;
}

// ---- Mistakes ----------------------------------------------------------------------------------

struct Mistake {
    std::string key;
    std::string what;
};

[[noreturn]] void Refuse(const std::string& key, const std::string& what) {
    throw Mistake{key, what};
}

std::string Message(const std::string& file, int line, const std::string& key,
                    const std::string& what) {
    return "Scenario file " + file + ", line " + std::to_string(line) + ", " +
           (key.empty() ? std::string("top level") : key) + ": " + what;
}

// A value of the file with its path, read with checks.
class Node {
  public:
    Node(const json& value, std::string path) : value_(value), path_(std::move(path)) {}
    const json& value() const { return value_; }
    const std::string& path() const { return path_; }

    // An object whose keys are all among `known`.
    void ExpectObject(std::initializer_list<const char*> known) const {
        if (!value_.is_object()) Refuse(path_, "an object {...} belongs here");
        for (const auto& item : value_.items()) {
            if (std::find_if(known.begin(), known.end(),
                             [&](const char* k) { return item.key() == k; }) != known.end())
                continue;
            std::string list;
            for (const char* k : known) list += (list.empty() ? "" : ", ") + std::string(k);
            Refuse(Member(path_, item.key()), "unknown key; known here: " + list);
        }
    }
    bool Has(const char* key) const { return value_.contains(key); }
    Node operator[](const char* key) const {
        if (!Has(key)) Refuse(Member(path_, key), "required");
        return Node(value_.at(key), Member(path_, key));
    }
    size_t ExpectArray() const {
        if (!value_.is_array()) Refuse(path_, "a list [...] belongs here");
        return value_.size();
    }
    Node At(size_t i) const { return Node(value_.at(i), Element(path_, i)); }

    int64_t Integer(int64_t lo, int64_t hi) const {
        if (!value_.is_number_integer()) Refuse(path_, "a whole number belongs here");
        if (value_.is_number_unsigned() && value_.get<uint64_t>() > uint64_t(INT64_MAX))
            Refuse(path_,
                   "out of range (" + std::to_string(lo) + " to " + std::to_string(hi) + ")");
        const int64_t v = value_.get<int64_t>();
        if (v < lo || v > hi)
            Refuse(path_, std::to_string(v) + " is out of range (" + std::to_string(lo) + " to " +
                              std::to_string(hi) + ")");
        return v;
    }
    bool Boolean() const {
        if (!value_.is_boolean()) Refuse(path_, "true or false belongs here");
        return value_.get<bool>();
    }
    double Number() const {
        if (!value_.is_number()) Refuse(path_, "a number belongs here");
        return value_.get<double>();
    }
    std::string Text() const {
        if (!value_.is_string()) Refuse(path_, "a text \"...\" belongs here");
        return value_.get<std::string>();
    }

  private:
    const json& value_;
    std::string path_;
};

using quorin::Utf8;
using quorin::Wide;

// ---- Times and generated data ------------------------------------------------------------------

// Days since 1970-01-01 of a civil date, and back (proleptic Gregorian calendar).
int64_t DaysFromCivil(int64_t y, int64_t m, int64_t d) {
    y -= m <= 2;
    const int64_t era = (y >= 0 ? y : y - 399) / 400;
    const int64_t yoe = y - era * 400;
    const int64_t doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + doe - 719468;
}

void CivilFromDays(int64_t z, int32_t& y, int32_t& m, int32_t& d) {
    z += 719468;
    const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const int64_t doe = z - era * 146097;
    const int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const int64_t mp = (5 * doy + 2) / 153;
    d = static_cast<int32_t>(doy - (153 * mp + 2) / 5 + 1);
    m = static_cast<int32_t>(mp < 10 ? mp + 3 : mp - 9);
    y = static_cast<int32_t>(yoe + era * 400 + (m <= 2));
}

// A swipe time "2026-01-05T08:30" (":00" seconds may follow: the clock keeps whole minutes), as
// minutes since 1970.
int64_t Minutes(const Node& node) {
    const std::string t = node.Text();
    const char* form = "YYYY-MM-DDTHH:MM";
    bool shaped = (t.size() == 16 || (t.size() == 19 && t.compare(16, 3, ":00") == 0));
    for (size_t i = 0; shaped && i < 16; ++i) {
        shaped = form[i] == 'Y' || form[i] == 'M' || form[i] == 'D' || form[i] == 'H'
                     ? t[i] >= '0' && t[i] <= '9'
                     : t[i] == form[i];
    }
    if (!shaped) Refuse(node.path(), "\"" + t + "\" is no time like 2026-01-05T08:30");
    auto num = [&](size_t at, size_t n) { return std::atoi(t.substr(at, n).c_str()); };
    const int y = num(0, 4), mo = num(5, 2), d = num(8, 2), h = num(11, 2), mi = num(14, 2);
    int32_t cy = 0, cm = 0, cd = 0;
    const int64_t days = DaysFromCivil(y, mo, d);
    CivilFromDays(days, cy, cm, cd);
    if (y < 1900 || mo < 1 || mo > 12 || cy != y || cm != mo || cd != d || h > 23 || mi > 59)
        Refuse(node.path(), "\"" + t + "\" is no valid date and time");
    return (days * 24 + h) * 60 + mi;
}

LogRecord Swipe(int32_t person, int64_t minutes) {
    LogRecord r;
    r.person = person;
    CivilFromDays(minutes / 1440, r.year, r.month, r.day);
    r.hour = static_cast<int32_t>(minutes / 60 % 24);
    r.minute = static_cast<int32_t>(minutes % 60);
    return r;
}

// SplitMix64: the same numbers from the same seed on every platform and build.
class Numbers {
  public:
    explicit Numbers(uint64_t seed) : state_(seed) {}
    uint64_t Next() {
        uint64_t z = (state_ += 0x9E3779B97F4A7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return z ^ (z >> 31);
    }
    // A number from lo to hi, both included.
    int64_t Within(int64_t lo, int64_t hi) {
        return lo + static_cast<int64_t>(Next() % (static_cast<uint64_t>(hi - lo) + 1));
    }

  private:
    uint64_t state_;
};

uint64_t Seed(const Node& node) {
    return static_cast<uint64_t>(node.Integer(0, INT64_MAX));
}

// {"count": n, "seed": s, "persons": [lo, hi], "from": time, "to": time}: n swipes in time
// order, each minute and person drawn from the ranges.
std::vector<LogRecord> GeneratedLog(const Node& generated) {
    generated.ExpectObject({"count", "seed", "persons", "from", "to"});
    const auto count = static_cast<size_t>(generated["count"].Integer(0, 10000000));
    Numbers numbers(Seed(generated["seed"]));
    const Node persons = generated["persons"];
    if (persons.ExpectArray() != 2) Refuse(persons.path(), "[lowest, highest] person number");
    const int64_t lo = persons.At(0).Integer(0, INT32_MAX);
    const int64_t hi = persons.At(1).Integer(lo, INT32_MAX);
    const int64_t from = Minutes(generated["from"]);
    const Node toNode = generated["to"];
    const int64_t to = Minutes(toNode);
    if (to < from) Refuse(toNode.path(), "comes before \"from\"");

    std::vector<int64_t> minutes(count);
    for (int64_t& m : minutes) m = numbers.Within(from, to);
    std::sort(minutes.begin(), minutes.end());
    std::vector<LogRecord> log;
    log.reserve(count);
    for (int64_t m : minutes) log.push_back(Swipe(static_cast<int32_t>(numbers.Within(lo, hi)), m));
    return log;
}

std::vector<LogRecord> ListedLog(const Node& list) {
    std::vector<LogRecord> log;
    for (size_t i = 0, n = list.ExpectArray(); i < n; ++i) {
        const Node record = list.At(i);
        record.ExpectObject({"person", "time"});
        const auto person = static_cast<int32_t>(record["person"].Integer(0, INT32_MAX));
        log.push_back(Swipe(person, Minutes(record["time"])));
    }
    return log;
}

void ReadEnrollments(const Node& list, Device& device) {
    for (size_t i = 0, n = list.ExpectArray(); i < n; ++i) {
        const Node e = list.At(i);
        e.ExpectObject({"person", "template", "password"});
        const Node personNode = e["person"];
        const auto person = static_cast<int>(personNode.Integer(0, 32767));
        if (!e.Has("template") && !e.Has("password"))
            Refuse(e.path(), "an enrollment holds a template, a password or both");
        auto add = [&](int backup, const char* what) -> Enrollment& {
            if (device.enrollments.count({person, backup}))
                Refuse(personNode.path(), "person " + std::to_string(person) + " already has a " +
                                              what + " on this device");
            return device.enrollments[{person, backup}];
        };
        if (e.Has("template")) {
            const Node t = e["template"];
            Enrollment& stored = add(0, "template");
            if (t.value().is_object()) {
                t.ExpectObject({"seed"});
                Numbers numbers(Seed(t["seed"]));
                for (int32_t& v : stored.templ) v = static_cast<int32_t>(numbers.Next() >> 32);
            } else {
                const size_t n = t.ExpectArray();
                if (n != stored.templ.size())
                    Refuse(t.path(),
                           "a template holds 460 integers, this one " + std::to_string(n));
                for (size_t k = 0; k < n; ++k)
                    stored.templ[k] = static_cast<int32_t>(t.At(k).Integer(INT32_MIN, INT32_MAX));
            }
        }
        if (e.Has("password"))
            add(10, "password").password =
                static_cast<int32_t>(e["password"].Integer(INT32_MIN, INT32_MAX));
    }
}

void ReadDevice(const Node& d, Site& site) {
    d.ExpectObject({"port", "machine", "answers", "log", "enrollments"});
    const Node portNode = d["port"];
    const auto port = static_cast<int>(portNode.Integer(1, 255));
    const auto machine = static_cast<int>(d["machine"].Integer(1, 255));
    const Address at{port, machine};
    if (site.devices.count(at))
        Refuse(portNode.path(), "a second device at port " + std::to_string(port) + ", machine " +
                                    std::to_string(machine));
    Device& device = site.devices[at];
    if (!d.Has("answers") || d["answers"].Boolean()) site.answering.insert(at);
    if (d.Has("log")) {
        const Node log = d["log"];
        device.log = log.value().is_object() ? GeneratedLog(log) : ListedLog(log);
    }
    if (d.Has("enrollments")) ReadEnrollments(d["enrollments"], device);
}

// {"call": name, "on": n (else every call), and one of "hresult", "exception" or "result"}.
void ReadFault(const Node& f, Site& site) {
    f.ExpectObject({"call", "on", "hresult", "exception", "result"});
    const Node callNode = f["call"];
    const std::string name = callNode.Text();
    const auto call = std::find_if(std::begin(kCalls), std::end(kCalls),
                                   [&](const auto& c) { return name == c.name; });
    if (call == std::end(kCalls)) {
        std::string list;
        for (const auto& c : kCalls) list += (list.empty() ? "" : ", ") + std::string(c.name);
        Refuse(callNode.path(), "no device call \"" + name + "\"; the calls are " + list);
    }
    if (site.failures.count(call->id)) Refuse(callNode.path(), "a second fault for " + name);
    Failure failure;
    if (f.Has("on")) failure.nth = static_cast<int>(f["on"].Integer(1, INT_MAX) - 1);
    const int kinds = f.Has("hresult") + f.Has("exception") + f.Has("result");
    if (kinds != 1) Refuse(f.path(), "a fault is one of \"hresult\", \"exception\" or \"result\"");
    if (f.Has("hresult")) {
        const Node hr = f["hresult"];
        int64_t value = 0;
        if (hr.value().is_string()) {
            const std::string text = hr.Text();
            char* rest = nullptr;
            // Read unsigned and compared so: a text beyond 32 bits (or beyond 64, which reads
            // as the largest value) is refused, never cut down to its last eight digits.
            const uint64_t parsed = std::strtoull(text.c_str(), &rest, 16);
            if (text.size() < 3 || text.compare(0, 2, "0x") != 0 || *rest || parsed > UINT32_MAX)
                Refuse(hr.path(), "\"" + text + "\" is no HRESULT like \"0x80004005\"");
            value = static_cast<int64_t>(parsed);
        } else {
            value = hr.Integer(INT32_MIN, UINT32_MAX);
        }
        failure.hr = static_cast<HRESULT>(static_cast<uint32_t>(value));
        if (SUCCEEDED(failure.hr)) Refuse(hr.path(), "an HRESULT that fails belongs here");
    } else if (f.Has("exception")) {
        failure.hr = DISP_E_EXCEPTION;
        failure.description = Wide(f["exception"].Text());
    } else {
        const Node result = f["result"];
        if (result.value().is_null()) {
            failure.answer = VT_NULL;
        } else {
            failure.answer = VT_BSTR;
            failure.description = Wide(result.Text());
        }
    }
    site.failures[call->id] = failure;
}

void ReadTiming(const Node& t, Timing& timing) {
    t.ExpectObject({"enabled", "speed", "connect_timeout_ms"});
    timing.enabled = t["enabled"].Boolean();
    if (t.Has("speed")) {
        const Node speed = t["speed"];
        timing.speed = speed.Number();
        if (!(timing.speed > 0 && timing.speed <= 1e6))
            Refuse(speed.path(), "a factor above 0, at most 1000000");
    }
    if (t.Has("connect_timeout_ms"))
        timing.connectTimeoutMs = static_cast<int>(t["connect_timeout_ms"].Integer(0, 600000));
}

Site ReadSite(const json& root) {
    const Node top(root, "");
    top.ExpectObject({"description", "devices", "faults", "timing"});
    Site site;
    if (top.Has("description")) top["description"].Text();
    if (top.Has("devices")) {
        const Node devices = top["devices"];
        for (size_t i = 0, n = devices.ExpectArray(); i < n; ++i) ReadDevice(devices.At(i), site);
    }
    if (top.Has("faults")) {
        const Node faults = top["faults"];
        for (size_t i = 0, n = faults.ExpectArray(); i < n; ++i) ReadFault(faults.At(i), site);
    }
    if (top.Has("timing")) ReadTiming(top["timing"], site.timing);
    return site;
}

// The parser's own words, without its prefix "[json.exception...] parse error at line 2,
// column 5: " (the line is computed from the byte position instead).
std::string ParserWords(const std::string& what) {
    const size_t column = what.find("column ");
    const size_t colon = column == std::string::npos ? column : what.find(": ", column);
    return colon == std::string::npos ? what : what.substr(colon + 2);
}

// Nothing in a site nests deeper than a few levels. A deeper text is refused before it is read:
// the walk that finds lines keeps the path of every level, which would grow with the square of
// the depth.
constexpr int kDeepest = 32;

// Where the text opens its list or object deeper than kDeepest, or npos.
size_t TooDeep(const std::string& text) {
    int depth = 0;
    for (size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (c == '"') {
            for (++i; i < text.size() && text[i] != '"'; ++i)
                if (text[i] == '\\') ++i;
        } else if (c == '{' || c == '[') {
            if (++depth > kDeepest) return i;
        } else if (c == '}' || c == ']') {
            --depth;
        }
    }
    return std::string::npos;
}

// The file's text read into `site`; `name` stands for the file in messages.
bool ReadScenarioText(const std::string& text, const std::string& name, Site& site,
                      std::string& error) {
    const size_t deep = TooDeep(text);
    if (deep != std::string::npos) {
        const int line = 1 + static_cast<int>(std::count(text.begin(), text.begin() + deep, '\n'));
        error = Message(name, line, Locate(text, deep).last,
                        "nested deeper than " + std::to_string(kDeepest) + " levels");
        return false;
    }
    json root;
    try {
        root = json::parse(text);
    } catch (const json::parse_error& e) {
        const size_t at = std::min<size_t>(e.byte ? e.byte - 1 : 0, text.size());
        const int line = 1 + static_cast<int>(std::count(text.begin(), text.begin() + at, '\n'));
        error =
            Message(name, line, Locate(text, at).last, "not valid JSON: " + ParserWords(e.what()));
        return false;
    } catch (const json::exception& e) {
        // A number no double holds ("1e400"): the parser names the number, not where it stands.
        const std::string what = e.what();
        const size_t quote = what.find('\'');
        const std::string number = quote == std::string::npos
                                       ? std::string()
                                       : what.substr(quote + 1, what.rfind('\'') - quote - 1);
        const size_t at = number.empty() ? std::string::npos : text.find(number);
        const size_t stop = at == std::string::npos ? 0 : at;
        const int line = 1 + static_cast<int>(std::count(text.begin(), text.begin() + stop, '\n'));
        error =
            Message(name, line, Locate(text, stop).last, "not valid JSON: " + ParserWords(what));
        return false;
    }
    const Places places = Locate(text, std::string::npos);
    try {
        if (!places.repeated.empty()) Refuse(places.repeated[0].first, "given twice");
        site = ReadSite(root);
        return true;
    } catch (const Mistake& m) {
        const bool repeated = !places.repeated.empty() && places.repeated[0].first == m.key;
        error = Message(name, repeated ? places.repeated[0].second : LineOf(places, m.key), m.key,
                        m.what);
    } catch (const json::exception& e) {
        error = Message(name, 1, "", e.what());
    }
    return false;
}

}  // namespace

bool ReadScenarioFile(const std::wstring& path, Site& site, std::wstring& error) {
    wchar_t full[MAX_PATH * 2];
    const DWORD n =
        GetFullPathNameW(path.c_str(), static_cast<DWORD>(std::size(full)), full, nullptr);
    const std::string name = Utf8(n && n < std::size(full) ? std::wstring(full, n) : path);
    HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    std::string text;
    bool read = file != INVALID_HANDLE_VALUE;
    DWORD problem = read ? 0 : GetLastError();
    if (read) {
        LARGE_INTEGER size{};
        read = GetFileSizeEx(file, &size) && size.QuadPart < (1 << 28);
        if (read) {
            text.resize(static_cast<size_t>(size.QuadPart));
            DWORD got = 0;
            read = text.empty() ||
                   (ReadFile(file, text.data(), static_cast<DWORD>(text.size()), &got, nullptr) &&
                    got == text.size());
        }
        problem = read ? 0 : GetLastError();
        CloseHandle(file);
    }
    if (!read) {
        error = Wide("Scenario file " + name + " cannot be read (error " + std::to_string(problem) +
                     ")");
        return false;
    }
    std::string message;
    if (ReadScenarioText(text, name, site, message)) return true;
    error = Wide(message);
    return false;
}

}  // namespace clocksim
