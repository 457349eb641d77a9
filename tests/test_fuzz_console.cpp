// Fuzzing the console's reading of its command line: the numbers (ports, machine numbers, the
// bounds of a range) against their rule, in process; then whole command lines (options, commands,
// arguments right and wrong) run as quorin-host processes, each either run or refused as a usage
// error that says what is wrong, with exit code 2.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "tests/console_host.h"
#include "tests/fuzz.h"
#include "tests/support.h"
#include "tools/console/number.h"

namespace {

// The rule: digits with an optional sign, nothing else, from -32768 to 32767.
std::optional<short> NumberRule(const std::wstring& text) {
    size_t at = !text.empty() && (text[0] == L'-' || text[0] == L'+') ? 1 : 0;
    if (at == text.size()) return std::nullopt;
    for (size_t k = at; k < text.size(); ++k)
        if (text[k] < L'0' || text[k] > L'9') return std::nullopt;
    while (at + 1 < text.size() && text[at] == L'0') ++at;
    if (text.size() - at > 5) return std::nullopt;
    long value = std::stol(std::wstring(text, at));
    if (text[0] == L'-') value = -value;
    if (value < -32768 || value > 32767) return std::nullopt;
    return static_cast<short>(value);
}

std::wstring RandomNumberText(qt::Fuzz& fuzz) {
    static const wchar_t* const edges[] = {L"32767", L"32768", L"-32768",     L"-32769", L"0",
                                           L"65535", L"65536", L"2147483648", L"99999"};
    static const wchar_t alphabet[] = L"0123456789+-  .xe\t\x0663\xFF10\x00B2";
    std::wstring text;
    if (fuzz.OneIn(3)) {
        if (fuzz.OneIn(2)) text = fuzz.OneIn(2) ? L"-" : L"+";
        text += std::wstring(fuzz.Below(4), L'0');
        text += edges[fuzz.Below(std::size(edges))];
    } else {
        for (int n = int(fuzz.Below(9)); n > 0; --n)
            text += alphabet[fuzz.Below(std::size(alphabet) - 1)];
    }
    if (fuzz.OneIn(10) && !text.empty()) text.insert(fuzz.Below(text.size()), 1, L'0');
    return text;
}

std::string Shown(const std::wstring& text) {
    std::ostringstream out;
    for (wchar_t c : text) {
        if (c >= 0x20 && c < 0x7F)
            out << char(c);
        else
            out << "\\u" << std::hex << int(c) << std::dec;
    }
    return out.str();
}

TEST(FuzzConsole, NumbersAreReadByTheirRule) {
    qt::Fuzz fuzz("console-numbers", 3000000);
    for (const qt::Fuzz::Kept& kept : fuzz.Regressions()) {
        const std::wstring text = quorin::Wide(kept.bytes.substr(0, kept.bytes.find('\n')));
        EXPECT_EQ(NumberRule(text), console::ParseNumber(text)) << kept.name;
    }
    int failures = 0, read = 0;
    while (fuzz.Next() && failures < 5) {
        const std::wstring text = RandomNumberText(fuzz);
        const std::optional<short> want = NumberRule(text), got = console::ParseNumber(text);
        read += want.has_value();
        if (want == got) continue;
        ++failures;
        ADD_FAILURE() << "\"" << Shown(text) << "\": expected "
                      << (want ? std::to_string(*want) : "refused") << ", got "
                      << (got ? std::to_string(*got) : "refused") << "; input "
                      << fuzz.KeepFailure(quorin::Utf8(text) + "\n", ".txt");
    }
    std::printf("fuzz console-numbers: %d read, %d refused\n", read, fuzz.done() - read);
}

// One argument as the platform's command-line rules take it back: quoted when it holds a space or
// is empty, backslashes doubled before a quote.
std::wstring Quoted(const std::wstring& arg) {
    if (!arg.empty() && arg.find_first_of(L" \t\"") == std::wstring::npos) return arg;
    std::wstring out = L"\"";
    size_t slashes = 0;
    for (wchar_t c : arg) {
        if (c == L'\\') {
            ++slashes;
        } else {
            if (c == L'"') out.append(slashes + 1, L'\\');
            slashes = 0;
        }
        out += c;
    }
    out.append(slashes, L'\\');
    return out + L"\"";
}

struct Command {
    const wchar_t* name;
    std::vector<const wchar_t*> numbers;
    size_t texts;
    bool optional;
};
const Command kCommands[] = {
    {L"discover", {L"portMin", L"portMax", L"machineMin", L"machineMax"}, 0, false},
    {L"download", {L"port", L"machine"}, 0, false},
    {L"backup", {L"port", L"machine"}, 2, false},
    {L"restore", {L"port", L"machine"}, 2, false},
    {L"check", {L"portMin", L"portMax", L"machineMin", L"machineMax"}, 0, true},
};

// What the console must do with a command line: the exit code (0 or 1 for a command that runs:
// -1) and the words its error output must hold.
struct Expected {
    int exit = -1;
    std::wstring says;
};

Expected Model(const std::vector<std::wstring>& args) {
    size_t i = 0;
    std::wstring format = L"text";
    for (; i < args.size() && !args[i].empty() && args[i][0] == L'-'; i += 2) {
        if (args[i] == L"-h" || args[i] == L"--help") return {0, L""};
        if (args[i] != L"--scenario" && args[i] != L"--format")
            return {2, L"unknown option: " + args[i]};
        if (i + 1 >= args.size()) return {2, args[i] + L" wants a value"};
        if (args[i] == L"--format") {
            format = args[i + 1];
            if (format != L"text" && format != L"csv" && format != L"json")
                return {2, L"--format takes text, csv or json, not " + format};
        }
    }
    if (i >= args.size()) return {2, L"no command given"};
    const Command* command = nullptr;
    for (const Command& c : kCommands)
        if (args[i] == c.name) command = &c;
    if (!command) return {2, L"unknown command: " + args[i]};
    const size_t given = args.size() - i - 1, wanted = command->numbers.size() + command->texts;
    const bool none = command->optional && given == 0;
    if (given != wanted && !none)
        return {2, std::wstring(command->name) + L" takes " +
                       (command->optional ? L"no arguments or " : L"") + std::to_wstring(wanted) +
                       L", not " + std::to_wstring(given)};
    for (size_t k = 0; !none && k < command->numbers.size(); ++k)
        if (!NumberRule(args[i + 1 + k]))
            return {2, std::wstring(command->numbers[k]) + L" is \"" + args[i + 1 + k] +
                           L"\", not a whole number from -32768 to 32767"};
    if (format != L"text" && args[i] != L"discover" && args[i] != L"download")
        return {2, L"--format csv and json apply to discover and download"};
    return {};
}

// Command lines of every shape; what a command would run stays small (ports and machine numbers
// near 1), so that each process ends in moments.
std::vector<std::wstring> RandomCommandLine(qt::Fuzz& fuzz, const std::wstring& rowfile,
                                            const std::wstring& site) {
    static const wchar_t* const options[] = {L"--scenario", L"--format",    L"-h", L"--help",
                                             L"--verbose",  L"-",           L"--", L"-x",
                                             L"--Format",   L"--scenario=x"};
    static const wchar_t* const formats[] = {L"text", L"csv", L"json", L"xml", L"", L"CSV"};
    static const wchar_t* const names[] = {L"discover", L"download", L"backup",    L"restore",
                                           L"check",    L"Discover", L"download ", L"scan",
                                           L"",         L"-1"};
    std::vector<std::wstring> args;
    for (int n = int(fuzz.Below(3)); n > 0; --n) {
        const std::wstring option = options[fuzz.Below(fuzz.OneIn(4) ? std::size(options) : 2)];
        args.push_back(option);
        if (fuzz.OneIn(12)) continue;  // its value left out
        args.push_back(option == L"--format" ? formats[fuzz.Below(std::size(formats))]
                       : fuzz.OneIn(2)       ? site
                                             : L"Z:\\no\\such\\site.json");
    }
    if (fuzz.OneIn(15)) return args;
    const size_t which = fuzz.Below(fuzz.OneIn(4) ? std::size(names) : 5);
    args.push_back(names[which]);
    // The arguments each of the first five takes (check also none); the others get two.
    static const size_t arities[] = {4, 2, 4, 4, 4};
    size_t count = which < 5 ? arities[which] : 2;
    if (which == 4 && fuzz.OneIn(2)) count = 0;
    if (fuzz.OneIn(5)) count = fuzz.Below(7);
    for (size_t k = 0; k < count; ++k) {
        const bool text = (which == 2 || which == 3) && k >= 2;
        if (text)
            args.push_back(k == 2 ? std::to_wstring(fuzz.Within(0, 9)) : rowfile);
        else if (fuzz.OneIn(6))
            args.push_back(RandomNumberText(fuzz));
        else
            args.push_back(std::to_wstring(fuzz.Within(-1, 3)));
    }
    return args;
}

std::string Joined(const std::vector<std::wstring>& args) {
    std::wstring line;
    for (const std::wstring& a : args) line += (line.empty() ? L"" : L" ") + Quoted(a);
    return quorin::Utf8(line);
}

TEST(FuzzConsole, CommandLinesRunOrAreUsageErrors) {
    qt::Fuzz fuzz("console", 60);
    const std::wstring rowfile = qt::TempPath(L"fuzz-row.txt");
    const std::wstring site = qt::TempFile(
        L"fuzz-console-site.json",
        R"({"devices": [{"port": 1, "machine": 1, "log": [{"person": 5, "time": "2026-01-05T08:30"}],
            "enrollments": [{"person": 3, "password": 77}]}]})");
    int failures = 0, ran = 0;
    auto check = [&](const std::vector<std::wstring>& args, const std::string& what) {
        const Expected want = Model(args);
        std::wstring line;
        for (const std::wstring& a : args) line += (line.empty() ? L"" : L" ") + Quoted(a);
        const qt::Ran got = qt::RunHost(line);
        std::string problem;
        const std::string says = quorin::Utf8(want.says);
        if (want.exit == -1) {
            ++ran;
            if (got.exit != 0 && got.exit != 1)
                problem = "exit code " + std::to_string(got.exit);
            else if (got.err.find("usage:") != std::string::npos)
                problem = "a usage error";
        } else if (int(got.exit) != want.exit) {
            problem =
                "exit code " + std::to_string(got.exit) + ", not " + std::to_string(want.exit);
        } else if (want.exit == 0 && got.out.find("usage: quorin-host") == std::string::npos) {
            problem = "no usage on the output";
        } else if (want.exit == 2 && got.err.find(says) == std::string::npos) {
            problem = "the error output does not say \"" + says + "\"";
        }
        if (problem.empty()) return;
        ++failures;
        std::string kept;
        for (const std::wstring& a : args) kept += quorin::Utf8(a) + "\n";
        ADD_FAILURE() << what << ": quorin-host " << Joined(args) << ": " << problem
                      << "\n  output: " << got.out.substr(0, 400)
                      << "\n  error output: " << got.err.substr(0, 400) << "\n  input "
                      << fuzz.KeepFailure(kept, ".args");
    };
    // A kept command line: one argument a line.
    for (const qt::Fuzz::Kept& kept : fuzz.Regressions()) {
        std::vector<std::wstring> args;
        std::istringstream in(kept.bytes);
        for (std::string arg; std::getline(in, arg);) args.push_back(quorin::Wide(arg));
        check(args, kept.name);
    }
    while (fuzz.Next() && failures < 3)
        check(RandomCommandLine(fuzz, rowfile, site), "input " + std::to_string(fuzz.done()));
    std::printf("fuzz console: %d command lines ran, %d refused or help\n", ran, fuzz.done() - ran);
}

}  // namespace
