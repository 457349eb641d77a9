// Fuzzing the simulated clock's scenario reader: the demo site's file (and the same with faults
// and timing) broken as people and tools break files: bytes changed, keys given twice or left
// out, numbers out of range, values nested deep, huge logs. Each file is either accepted, and the
// site loaded is the one the file describes, or refused whole with a message that names the file,
// a line of it and a key; never a crash, a hang or a site loaded in part.
#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <cstdint>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "standins/clock/scenario.h"
#include "tests/fuzz.h"
#include "tests/support.h"

namespace {

using nlohmann::json;

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

const char kFaultsAndTiming[] = R"({
  "devices": [{"port": 3, "machine": 200, "answers": false,
               "enrollments": [{"person": 32767, "template": [%TEMPLATE%], "password": -5}]}],
  "faults": [
    {"call": "NextLogRecord", "on": 3, "hresult": "0x80004005"},
    {"call": "ReadEnrollment", "exception": "Device busy"},
    {"call": "Disconnect", "hresult": -2147467259},
    {"call": "StartLogRead", "result": null},
    {"call": "ConnectSerial", "on": 1, "result": "not a Boolean"}
  ],
  "timing": {"enabled": false, "speed": 2.5, "connect_timeout_ms": 10}
}
)";

// The values of one device call's fault, as the file gives them.
struct FaultOf {
    HRESULT hr = E_FAIL;
    std::wstring description;
    int nth = -1;
    VARTYPE answer = VT_EMPTY;
};

// What the file describes, read here on a path of its own: nlohmann's reader, with every key
// seen (a key given twice, escaped or not, is seen twice).
struct Described {
    bool valid = true;  // false: the file breaks a rule the reader must refuse
    std::set<std::pair<int, int>> devices, answering;
    std::map<std::pair<int, int>, size_t> logSizes;
    std::map<std::pair<int, int>, std::vector<long>> persons;  // listed logs
    std::map<std::string, FaultOf> faults;
};

// Whether a JSON text has an object with a key twice.
bool RepeatsAKey(const std::string& text) {
    std::vector<std::set<std::string>> open;
    bool repeated = false;
    json::parser_callback_t seen = [&](int, json::parse_event_t event, json& parsed) {
        if (event == json::parse_event_t::object_start) open.emplace_back();
        if (event == json::parse_event_t::object_end && !open.empty()) open.pop_back();
        if (event == json::parse_event_t::key && !open.empty() &&
            !open.back().insert(parsed.get<std::string>()).second)
            repeated = true;
        return true;
    };
    try {
        const json parsed = json::parse(text, seen);
        (void)parsed;
    } catch (const json::exception&) {
    }
    return repeated;
}

// An HRESULT text: "0x" and one to eight hexadecimal digits, or leading zeros before them.
bool HresultText(const std::string& t, HRESULT& hr) {
    if (t.size() < 3 || t.compare(0, 2, "0x") != 0) return false;
    uint64_t v = 0;
    for (size_t k = 2; k < t.size(); ++k) {
        if (!std::isxdigit(static_cast<unsigned char>(t[k]))) return false;
        v = v * 16 + std::stoi(t.substr(k, 1), nullptr, 16);
        if (v > UINT32_MAX) return false;
    }
    hr = static_cast<HRESULT>(static_cast<uint32_t>(v));
    return true;
}

// Only what an accepted file must agree with: the reader checks every rule, and a file accepted
// is compared, not judged, here; but a key given twice or a fault's value out of range must never
// pass.
Described Describe(const std::string& text) {
    Described d;
    if (RepeatsAKey(text)) d.valid = false;
    json root;
    try {
        root = json::parse(text);
    } catch (const json::exception&) {
        d.valid = false;
        return d;
    }
    try {
        if (root.contains("devices") && root["devices"].is_array()) {
            for (const json& dev : root["devices"]) {
                const std::pair<int, int> at{dev.value("port", 0), dev.value("machine", 0)};
                d.devices.insert(at);
                if (dev.value("answers", true)) d.answering.insert(at);
                if (dev.contains("log")) {
                    const json& log = dev["log"];
                    if (log.is_array()) {
                        d.logSizes[at] = log.size();
                        for (const json& r : log) d.persons[at].push_back(r.value("person", -1L));
                    } else {
                        d.logSizes[at] = log.value("count", size_t(0));
                    }
                }
            }
        }
        if (root.contains("faults") && root["faults"].is_array()) {
            for (const json& f : root["faults"]) {
                FaultOf fault;
                if (f.contains("on") && f["on"].is_number_integer())
                    fault.nth = f["on"].get<int>() - 1;
                if (f.contains("hresult")) {
                    const json& hr = f["hresult"];
                    if (hr.is_string()) {
                        if (!HresultText(hr.get<std::string>(), fault.hr)) d.valid = false;
                    } else if (hr.is_number_integer()) {
                        fault.hr = static_cast<HRESULT>(static_cast<uint32_t>(hr.get<int64_t>()));
                    }
                } else if (f.contains("exception")) {
                    fault.hr = DISP_E_EXCEPTION;
                    fault.description = quorin::Wide(f["exception"].get<std::string>());
                } else if (f.contains("result")) {
                    fault.answer = f["result"].is_null() ? VT_NULL : VT_BSTR;
                    if (!f["result"].is_null())
                        fault.description = quorin::Wide(f["result"].get<std::string>());
                }
                d.faults[f.value("call", std::string())] = fault;
            }
        }
    } catch (const json::exception&) {
        d.valid = false;  // a value of the wrong kind: the reader refuses it
    }
    return d;
}

// The number, text and literal tokens of a JSON text, and where members' keys stand.
struct Token {
    size_t at, length;
    char kind;  // '"' text, '0' number, 'k' a member's key
};
std::vector<Token> Tokens(const std::string& text) {
    std::vector<Token> out;
    for (size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (c == '"') {
            size_t j = i + 1;
            while (j < text.size() && text[j] != '"') j += text[j] == '\\' ? 2 : 1;
            size_t k = j + 1;
            while (k < text.size() && std::isspace(static_cast<unsigned char>(text[k]))) ++k;
            out.push_back({i, j + 1 - i, k < text.size() && text[k] == ':' ? 'k' : '"'});
            i = j;
        } else if (c == '-' || std::isdigit(static_cast<unsigned char>(c))) {
            size_t j = i;
            while (j < text.size() && std::strchr("+-.eE0123456789", text[j])) ++j;
            out.push_back({i, j - i, '0'});
            i = j - 1;
        }
    }
    return out;
}

// The end of the value that starts at `at` (a text, a number, a literal, an object or a list).
size_t ValueEnd(const std::string& text, size_t at) {
    int depth = 0;
    for (size_t i = at; i < text.size(); ++i) {
        const char c = text[i];
        if (c == '"') {
            for (++i; i < text.size() && text[i] != '"'; i += text[i] == '\\' ? 2 : 1) {
            }
            if (depth == 0) return i + 1;
        } else if (c == '{' || c == '[') {
            ++depth;
        } else if (c == '}' || c == ']') {
            if (depth == 0) return i;
            if (--depth == 0) return i + 1;
        } else if (depth == 0 && (c == ',' || c == '\n')) {
            return i;
        }
    }
    return text.size();
}

void Mutate(qt::Fuzz& fuzz, std::string& text) {
    const std::vector<Token> tokens = Tokens(text);
    auto pick = [&](char kind) -> const Token* {
        std::vector<const Token*> of;
        for (const Token& t : tokens)
            if (t.kind == kind) of.push_back(&t);
        return of.empty() ? nullptr : of[fuzz.Below(of.size())];
    };
    switch (fuzz.Below(10)) {
        case 0:  // bytes changed
            for (int n = int(fuzz.Within(1, 4)); n > 0 && !text.empty(); --n)
                text[fuzz.Below(text.size())] = char(fuzz.Below(256));
            break;
        case 1: {  // a member given twice, its key perhaps written with an escape
            const Token* key = pick('k');
            if (!key) break;
            const size_t colon = text.find(':', key->at + key->length);
            std::string name = text.substr(key->at, key->length);
            if (fuzz.OneIn(2) && name.size() > 2) {
                char hex[8];
                std::snprintf(hex, sizeof hex, "\\u%04x", static_cast<unsigned char>(name[1]));
                name = "\"" + std::string(hex) + name.substr(2);
            }
            const std::string member =
                name + ": " + text.substr(colon + 1, ValueEnd(text, colon + 1) - colon - 1);
            text.insert(key->at, member + (fuzz.OneIn(2) ? ",\n" : ", "));
            break;
        }
        case 2: {  // a member left out
            const Token* key = pick('k');
            if (!key) break;
            const size_t colon = text.find(':', key->at + key->length);
            size_t end = ValueEnd(text, colon + 1);
            if (end < text.size() && text[end] == ',') ++end;
            text.erase(key->at, end - key->at);
            break;
        }
        case 3: {  // a number out of range or of another kind
            static const char* const odd[] = {"0",
                                              "-1",
                                              "256",
                                              "255",
                                              "32767",
                                              "32768",
                                              "-32769",
                                              "2147483647",
                                              "2147483648",
                                              "-2147483649",
                                              "4294967295",
                                              "4294967296",
                                              "9223372036854775807",
                                              "9223372036854775808",
                                              "18446744073709551616",
                                              "1.5",
                                              "1e400",
                                              "-0",
                                              "1E2",
                                              "10000001",
                                              "600001",
                                              "0.0",
                                              "-1e-400"};
            const Token* number = pick('0');
            if (number) text.replace(number->at, number->length, odd[fuzz.Below(std::size(odd))]);
            break;
        }
        case 4: {  // a text of another shape: a time, an HRESULT, a call's name
            static const char* const odd[] = {"\"2026-02-29T08:00\"",
                                              "\"2028-02-29T23:59:00\"",
                                              "\"2026-13-01T08:00\"",
                                              "\"1899-12-31T23:59\"",
                                              "\"2026-01-05T24:00\"",
                                              "\"2026-01-05T08:30:01\"",
                                              "\"0x80004005\"",
                                              "\"0xFFFFFFFF80004005\"",
                                              "\"0x180004005\"",
                                              "\"0x00000000080004005\"",
                                              "\"0xFFFFFFFFFFFFFFFFFFFF\"",
                                              "\"0x-7FFBFFB\"",
                                              "\"0x\"",
                                              "\"0X80004005\"",
                                              "\"Disconnect\"",
                                              "\"\\u0000\"",
                                              "\"\xC3\x28\"",
                                              "null",
                                              "true",
                                              "[]",
                                              "{}"};
            // Half the time the value of a fault's "hresult", where the shapes matter most.
            const Token* t = pick('"');
            const size_t hr = text.find("\"hresult\": \"");
            if (hr != std::string::npos && fuzz.OneIn(2)) {
                const size_t at = hr + 11;
                text.replace(at, ValueEnd(text, at) - at, odd[fuzz.Below(std::size(odd))]);
            } else if (t) {
                text.replace(t->at, t->length, odd[fuzz.Below(std::size(odd))]);
            }
            break;
        }
        case 5: {  // a value nested deep
            const Token* t = pick(fuzz.OneIn(2) ? '0' : '"');
            if (!t) break;
            const size_t depth = fuzz.OneIn(4) ? fuzz.Within(1000, 100000) : fuzz.Within(1, 50);
            const bool lists = fuzz.OneIn(2);
            std::string open, close;
            for (size_t k = 0; k < depth; ++k) {
                open += lists ? "[" : "{\"a\":";
                close += lists ? "]" : "}";
            }
            text.replace(t->at, t->length, open + text.substr(t->at, t->length) + close);
            break;
        }
        case 6: {  // a huge listed log (now and then: it takes its time)
            if (!fuzz.OneIn(5)) break;
            std::string log = "[";
            const size_t n = fuzz.Within(10000, 100000);
            for (size_t k = 0; k < n; ++k)
                log += (k ? ",\n" : "") + std::string("{\"person\": ") + std::to_string(k % 999) +
                       ", \"time\": \"2026-01-05T08:30\"}";
            log += "]";
            const size_t at = text.find("\"log\":");
            if (at != std::string::npos) {
                const size_t from = at + 6;
                text.replace(from, ValueEnd(text, from + 1) - from, " " + log);
            }
            break;
        }
        case 7:  // cut short
            text.resize(fuzz.Below(text.size() + 1));
            break;
        case 8: {  // a line break, a BOM or spaces where whitespace may stand
            static const char* const odd[] = {"\n", "\r\n", "\xEF\xBB\xBF", "\t", " \n\n "};
            const Token* t = pick(fuzz.OneIn(2) ? 'k' : '0');
            if (t) text.insert(t->at, odd[fuzz.Below(std::size(odd))]);
            break;
        }
        default: {  // a character dropped or doubled
            if (text.empty()) break;
            const size_t at = fuzz.Below(text.size());
            if (fuzz.OneIn(2))
                text.erase(at, 1);
            else
                text.insert(at, 1, text[at]);
            break;
        }
    }
}

class ScenarioFuzz {
  public:
    explicit ScenarioFuzz(qt::Fuzz& fuzz) : fuzz_(fuzz), path_(qt::TempPath(L"fuzz-site.json")) {}

    // Loads the text as the scenario file and checks the outcome; false after a failure.
    bool Check(const std::string& text, const std::string& what) {
        std::ofstream(qt::Utf8(path_), std::ios::binary | std::ios::trunc) << text;
        clocksim::Scenario& clock = *ClockScenario();
        clock.LoadDemo();
        const auto start = std::chrono::steady_clock::now();
        const HRESULT hr = ClockLoadScenario(path_.c_str());
        const double took =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        const Described d = Describe(text);
        std::string problem;
        if (hr == S_OK) {
            ++accepted;
            problem = Compare(clock, d);
        } else if (hr == E_FAIL) {
            ++refused;
            problem = Refusal(clock, text);
        } else {
            problem = "ClockLoadScenario answered " + std::to_string(hr);
        }
        // Even the huge files of these inputs take a second or two.
        if (problem.empty() && took > 10) problem = "it took " + std::to_string(took) + " s";
        if (problem.empty()) return true;
        ADD_FAILURE() << what << ": " << problem << "; input " << fuzz_.KeepFailure(text, ".json");
        return false;
    }

    int accepted = 0, refused = 0;

  private:
    static std::string Compare(const clocksim::Scenario& clock, const Described& d) {
        if (!d.valid) return "accepted a file that gives a key twice or a fault out of range";
        if (!clock.refusal.empty()) return "accepted, with a refusal kept";
        std::set<std::pair<int, int>> devices, answering;
        for (const auto& [a, device] : clock.devices) {
            devices.insert(a);
            const auto size = d.logSizes.find(a);
            if (device.log.size() != (size == d.logSizes.end() ? 0 : size->second))
                return "a log of " + std::to_string(device.log.size()) + " records";
            const auto persons = d.persons.find(a);
            if (persons != d.persons.end())
                for (size_t k = 0; k < device.log.size(); ++k)
                    if (device.log[k].person != persons->second[k]) return "a wrong person";
        }
        answering.insert(clock.answering.begin(), clock.answering.end());
        if (devices != d.devices) return "other devices than the file's";
        if (answering != d.answering) return "other devices answer than the file says";
        if (clock.failures.size() != d.faults.size()) return "other faults than the file's";
        for (const auto& [name, fault] : d.faults) {
            const auto call = std::find_if(std::begin(clocksim::kCalls), std::end(clocksim::kCalls),
                                           [&](const auto& c) { return name == c.name; });
            if (call == std::end(clocksim::kCalls)) return "a fault of an unknown call";
            const auto f = clock.failures.find(call->id);
            if (f == clock.failures.end()) return "no fault for " + name;
            if (f->second.hr != fault.hr || f->second.description != fault.description ||
                f->second.nth != fault.nth || f->second.answer != fault.answer)
                return "the fault of " + name + " is not the file's";
        }
        return "";
    }

    std::string Refusal(const clocksim::Scenario& clock, const std::string& text) const {
        const std::string message = qt::Utf8(clock.refusal);
        const std::string head = "Scenario file " + qt::Utf8(path_) + ", line ";
        if (message.compare(0, head.size(), head) != 0) return "refused with \"" + message + "\"";
        size_t at = head.size();
        long line = 0;
        while (at < message.size() && std::isdigit(static_cast<unsigned char>(message[at])))
            line = line * 10 + (message[at++] - '0');
        const long lines = 1 + std::count(text.begin(), text.end(), '\n');
        if (line < 1 || line > lines)
            return "refused naming line " + std::to_string(line) + " of " + std::to_string(lines) +
                   ": " + message.substr(0, 300);
        const size_t colon = message.find(": ", at);
        if (message.compare(at, 2, ", ") != 0 || colon == std::string::npos || colon <= at + 2)
            return "refused naming no key: " + message.substr(0, 300);
        if (!clock.devices.empty() || !clock.answering.empty() || !clock.failures.empty())
            return "refused, with a site kept";
        return "";
    }

    qt::Fuzz& fuzz_;
    std::wstring path_;
};

TEST(FuzzScenario, EveryFileIsLoadedAsWrittenOrRefusedWithFileLineAndKey) {
    qt::Fuzz fuzz("scenario", 3000);
    ScenarioFuzz check(fuzz);
    int failures = 0;
    for (const qt::Fuzz::Kept& kept : fuzz.Regressions())
        failures += !check.Check(kept.bytes, kept.name);

    std::string templ;
    for (int k = 0; k < 460; ++k) templ += (k ? ", " : "") + std::to_string(k * 4099 - 900000);
    std::string faults = kFaultsAndTiming;
    faults.replace(faults.find("%TEMPLATE%"), 10, templ);
    const std::string bases[] = {ReadFile(QUORIN_DEMO_SITE), faults};
    ASSERT_NE("", bases[0]) << QUORIN_DEMO_SITE;
    // Unchanged, both are accepted.
    for (const std::string& base : bases) ASSERT_TRUE(check.Check(base, "a base file"));
    while (fuzz.Next() && failures < 5) {
        std::string text = bases[fuzz.Below(2)];
        for (int n = int(fuzz.Within(1, 3)); n > 0; --n) Mutate(fuzz, text);
        failures += !check.Check(text, "input " + std::to_string(fuzz.done()));
    }
    std::printf("fuzz scenario: %d accepted, %d refused\n", check.accepted, check.refused);
    EXPECT_LT(0, check.refused);
    ClockScenario()->Reset();
}

}  // namespace
