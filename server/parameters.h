// The build's check that every operation holds its call's parameters in the order IMachine
// declares them, each under the parameter's name: the frame makes an operation from the call's
// arguments by position, so two fields of the same type in the wrong order would compile and take
// each other's values. The names and their order are read from contract.idl's text.
#pragma once

#include <cstddef>
#include <initializer_list>
#include <string_view>

#include "contract_text.h"

namespace quorin::parameters {

// A field of an operation: its designator (iPort, address.iPort) and its offset.
struct Field {
    std::string_view designator;
    size_t offset;
};
#define QUORIN_FIELD(Operation, designator)          \
    ::quorin::parameters::Field {                    \
#designator, offsetof(Operation, designator) \
    }

constexpr bool IsNameCharacter(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_';
}

// The text between the parentheses of IMachine's `method` in contract.idl.
constexpr std::string_view ParameterList(std::string_view method) {
    const std::string_view idl = kContractIdl;
    for (size_t at = idl.find(method, idl.find("interface IMachine")); at != idl.npos;
         at = idl.find(method, at + 1)) {
        const size_t open = at + method.size();
        if (open < idl.size() && idl[open] == '(' && !IsNameCharacter(idl[at - 1]))
            return idl.substr(open + 1, idl.find(')', open) - open - 1);
    }
    return {};
}

// The name of parameter `index` (from 0) in a parameter list; empty past the last.
constexpr std::string_view ParameterName(std::string_view list, size_t index) {
    size_t start = 0, n = 0;
    int attributes = 0;  // inside [...]
    for (size_t i = 0; i <= list.size(); ++i) {
        const char c = i < list.size() ? list[i] : ',';
        if (c == '[') ++attributes;
        if (c == ']') --attributes;
        if (c != ',' || attributes > 0) continue;
        if (n++ == index) {
            size_t end = i;
            while (end > start && !IsNameCharacter(list[end - 1])) --end;
            size_t begin = end;
            while (begin > start && IsNameCharacter(list[begin - 1])) --begin;
            return list.substr(begin, end - begin);
        }
        start = i + 1;
    }
    return {};
}

// Whether the fields, listed in the interface's order, are declared in that order and named as
// the method's parameters, all of them but the result.
constexpr bool AreParametersOf(std::string_view method, std::initializer_list<Field> fields) {
    const std::string_view list = ParameterList(method);
    size_t index = 0, after = 0;
    for (const Field& field : fields) {
        const size_t dot = field.designator.rfind('.');
        const std::string_view name =
            dot == field.designator.npos ? field.designator : field.designator.substr(dot + 1);
        if (ParameterName(list, index) != name || (index > 0 && field.offset <= after))
            return false;
        after = field.offset;
        ++index;
    }
    return ParameterName(list, index) == "result" && ParameterName(list, index + 1).empty();
}

}  // namespace quorin::parameters
