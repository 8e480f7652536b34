#pragma once

// One diagnostic line of the catalogue (diag/lines.hpp): the function name
// and number it is printed with, its kind, its cause class and its text,
// with the types of the arguments the text takes as a printf format.
//
//   inline constexpr Fail<const char*> somethingFailed{
//       "doSomething", <number>, Cause::staging, "Exception doing it: %s"};
//   diag::fail(lines::somethingFailed, e.what());
//
// The text is checked against the argument types when the line is declared
// (a mismatch does not compile: %s takes a const char*, %d an int, %u and
// %x an unsigned int), and a report site passes arguments of those types
// only: together they do what the compiler's format check did for a format
// written at the site.

#include "diag/cause.hpp"

#include <array>
#include <cstddef>
#include <string_view>
#include <type_traits>

namespace diag
{

enum class Kind
{
    fail,
    info,
};

// What every line has, whatever its arguments.
struct Entry
{
    const char* function;
    int number;
    Kind kind;
    Cause cause;
    const char* text;
};

namespace format
{

// What a conversion of the texts takes: %s a C string, %d an int, %u and %x
// an unsigned int. "%%" takes nothing.
template <typename T>
constexpr bool takes(char conversion)
{
    switch (conversion)
    {
        case 's':
            return std::is_same_v<T, const char*>;
        case 'd':
            return std::is_same_v<T, int>;
        case 'u':
        case 'x':
            return std::is_same_v<T, unsigned>;
        default:
            break;
    }
    return false;
}

// The position just past the flags, width and precision of the conversion
// whose '%' is at `at`.
constexpr std::size_t conversionAt(std::string_view text, std::size_t at)
{
    ++at;
    while (at < text.size() &&
           std::string_view("-+ #0123456789.").find(text[at]) !=
               std::string_view::npos)
    {
        ++at;
    }
    return at;
}

// True when the conversions of `text` take exactly Args, in order.
template <typename... Args>
constexpr bool matches(std::string_view text)
{
    constexpr std::size_t count = sizeof...(Args);
    const std::array<bool (*)(char), count> takers{&takes<Args>...};
    std::size_t used = 0;
    for (std::size_t at = text.find('%'); at != std::string_view::npos;
         at = text.find('%', at))
    {
        if (at + 1 < text.size() && text[at + 1] == '%')
        {
            at += 2;
            continue;
        }
        at = conversionAt(text, at);
        if (used == count || at == text.size() || !takers.at(used)(text[at]))
        {
            return false;
        }
        ++used;
    }
    return used == count;
}

// Called only when a text does not match its arguments: not a constant
// expression, so such a declaration does not compile.
void textDoesNotMatchArguments();

} // namespace format

template <Kind lineKind, typename... Args>
struct Line : Entry
{
    consteval Line(const char* function, int number, Cause cause,
                   const char* text) :
        Entry{function, number, lineKind, cause, text}
    {
        if (!format::matches<Args...>(text))
        {
            format::textDoesNotMatchArguments();
        }
    }
};

// A failure line: the audit record takes the first one's cause class.
template <typename... Args>
using Fail = Line<Kind::fail, Args...>;

// An information line.
template <typename... Args>
struct Info : Line<Kind::info, Args...>
{
    consteval Info(const char* function, int number, const char* text) :
        Line<Kind::info, Args...>(function, number, Cause::none, text)
    {}
};

} // namespace diag
