// A wide printf format checked against its arguments while compiling, in the
// manner of std::format_string: a function that formats takes
// `WideFormatString<Args...> format, Args... args`, and a literal format that
// does not fit the arguments does not build.
//
// The formats are read with the C runtime's (Microsoft) meaning, which is what
// formats them at run time (_vsnwprintf, _vscwprintf, _snwprintf): "%s" and
// "%ls" take a wide string, "%hs" and "%S" a narrow one; "%c" a character.
// Each integer conversion (d i u o x X) reads as many bytes as its size prefix
// says, and the argument must have exactly that size once C's default
// promotions are applied (anything smaller than int travels as an int):
//   no prefix, h, l, I32   4 bytes: int, unsigned, long, DWORD, LONG, short, char, bool, an enum
//   ll, I64                8 bytes: long long, ULONGLONG, DWORD64
//   I                      a pointer's size: size_t, SIZE_T, ptrdiff_t, UINT_PTR
// long is 32 bits on Windows, 32-bit and 64-bit alike, so a DWORD (unsigned
// long) fits "%u" and "%lu" in both builds, and never "%llu". A size_t fits
// "%u" only in the 32-bit build: write "%Iu". The size matters more than it
// seems: on x86 an 8-byte argument read as 4 bytes shifts every argument after
// it. The sign is not checked: "%d" prints a DWORD as the C runtime always has,
// and the texts print what they print.
// "%p" takes any pointer (or nullptr); "%e %f %g %a" a float or double
// (long double is wider in GCC than in the C runtime, and refused). A "*"
// width or precision takes an int. Every argument must be consumed: too many
// arguments are refused as well as too few. What the C runtime does not know
// ("%hh", "%z", "%j", "%t", "%L"), "%n" (the runtime refuses it) and a lone
// "%" at the end are refused.
//
// A refused format names the rule it broke in the compiler's error: "call to
// non-'constexpr' function 'void wide_format_refused::s_takes_a_wide_string()'".
//
// A format that is only known at run time (built by the program) is passed as
// RuntimeFormat(text): its arguments are still refused when they are class
// objects, but the format itself is not checked. Use it only where the text is
// built at run time.
#pragma once

#include <cstddef>
#include <type_traits>

// Declared and never defined: a check that fails calls one of them, which a
// constant evaluation cannot do, so the compiler stops with its name.
namespace wide_format_refused {
void more_conversions_than_arguments();
void more_arguments_than_conversions();
void integer_conversion_takes_an_integer_of_its_size();
void c_takes_a_character();
void s_takes_a_wide_string();
void hs_and_S_take_a_narrow_string();
void p_takes_a_pointer();
void floating_conversion_takes_a_double();
void star_takes_an_int();
void conversion_unknown_to_the_c_runtime();
}  // namespace wide_format_refused

namespace wide_format {

// What an argument is once it has passed through "...".
enum class ArgKind : unsigned char { None, Integer, Floating, WideString, NarrowString, Pointer, NullPointer, Other };

struct ArgInfo {
    ArgKind kind = ArgKind::None;
    size_t size = 0;  // bytes after the default promotions
};

template <typename T>
consteval ArgInfo Describe()
{
    using U = std::remove_cv_t<T>;
    if constexpr (std::is_enum_v<U>) {
        return Describe<std::underlying_type_t<U>>();
    } else if constexpr (std::is_integral_v<U>) {
        return {ArgKind::Integer, sizeof(U) < sizeof(int) ? sizeof(int) : sizeof(U)};
    } else if constexpr (std::is_same_v<U, float> || std::is_same_v<U, double>) {
        return {ArgKind::Floating, sizeof(double)};
    } else if constexpr (std::is_null_pointer_v<U>) {
        return {ArgKind::NullPointer, sizeof(void*)};
    } else if constexpr (std::is_pointer_v<U>) {
        using Pointee = std::remove_cv_t<std::remove_pointer_t<U>>;
        if constexpr (std::is_same_v<Pointee, wchar_t>) return {ArgKind::WideString, sizeof(void*)};
        else if constexpr (std::is_same_v<Pointee, char> || std::is_same_v<Pointee, signed char> ||
                           std::is_same_v<Pointee, unsigned char>)
            return {ArgKind::NarrowString, sizeof(void*)};
        else return {ArgKind::Pointer, sizeof(void*)};
    } else {
        return {ArgKind::Other, sizeof(U)};
    }
}

// Only plain values may travel through "...": a class object (a std::wstring
// instead of its c_str(), say) would be read as garbage by the formatter.
template <typename T>
constexpr bool IsPlainValue = Describe<T>().kind != ArgKind::Other;

constexpr bool IsDigit(wchar_t c) { return c >= L'0' && c <= L'9'; }

// The argument list as the format walks it.
class ArgCursor {
public:
    consteval ArgCursor(const ArgInfo* args, size_t count) : m_args(args), m_count(count) {}
    consteval ArgInfo Next()
    {
        if (m_next == m_count) wide_format_refused::more_conversions_than_arguments();
        return m_args[m_next++];
    }
    // A "*" width or precision.
    consteval void NextStar()
    {
        const ArgInfo arg = Next();
        if (arg.kind != ArgKind::Integer || arg.size != sizeof(int)) wide_format_refused::star_takes_an_int();
    }
    consteval bool AllTaken() const { return m_next == m_count; }

private:
    const ArgInfo* m_args;
    size_t m_count;
    size_t m_next = 0;
};

enum class SizePrefix { None, Short, Long, LongLong, Int32, Int64, PointerSized, Wide };

consteval void CheckInteger(ArgInfo arg, SizePrefix prefix)
{
    size_t size = 4;
    switch (prefix) {
        case SizePrefix::None:
        case SizePrefix::Short:
        case SizePrefix::Long:
        case SizePrefix::Int32: size = 4; break;
        case SizePrefix::LongLong:
        case SizePrefix::Int64: size = 8; break;
        case SizePrefix::PointerSized: size = sizeof(void*); break;
        case SizePrefix::Wide: wide_format_refused::conversion_unknown_to_the_c_runtime(); break;
    }
    if (arg.kind != ArgKind::Integer || arg.size != size)
        wide_format_refused::integer_conversion_takes_an_integer_of_its_size();
}

// `conversion` is the letter after the flags, width, precision and size prefix.
consteval void CheckConversion(wchar_t conversion, SizePrefix prefix, ArgCursor& args)
{
    using wide_format_refused::conversion_unknown_to_the_c_runtime;
    const bool noPrefix = prefix == SizePrefix::None;
    switch (conversion) {
        case L'd': case L'i': case L'u': case L'o': case L'x': case L'X':
            CheckInteger(args.Next(), prefix);
            return;
        case L'c': case L'C': {
            if (!noPrefix && prefix != SizePrefix::Short && prefix != SizePrefix::Long && prefix != SizePrefix::Wide)
                conversion_unknown_to_the_c_runtime();
            const ArgInfo arg = args.Next();
            if (arg.kind != ArgKind::Integer || arg.size != sizeof(int)) wide_format_refused::c_takes_a_character();
            return;
        }
        case L's': case L'S': {
            // In a wide format "%s" is wide and "%S" narrow; "h" makes either narrow, "l" and "w" wide.
            bool wide = conversion == L's';
            if (prefix == SizePrefix::Short) wide = false;
            else if (prefix == SizePrefix::Long || prefix == SizePrefix::Wide) wide = true;
            else if (!noPrefix) conversion_unknown_to_the_c_runtime();
            const ArgKind kind = args.Next().kind;
            if (wide && kind != ArgKind::WideString) wide_format_refused::s_takes_a_wide_string();
            if (!wide && kind != ArgKind::NarrowString) wide_format_refused::hs_and_S_take_a_narrow_string();
            return;
        }
        case L'p': {
            if (!noPrefix) conversion_unknown_to_the_c_runtime();
            const ArgKind kind = args.Next().kind;
            if (kind != ArgKind::Pointer && kind != ArgKind::WideString && kind != ArgKind::NarrowString &&
                kind != ArgKind::NullPointer)
                wide_format_refused::p_takes_a_pointer();
            return;
        }
        case L'e': case L'E': case L'f': case L'g': case L'G': case L'a': case L'A':
            if (!noPrefix && prefix != SizePrefix::Long) conversion_unknown_to_the_c_runtime();
            if (args.Next().kind != ArgKind::Floating) wide_format_refused::floating_conversion_takes_a_double();
            return;
        default:  // %n, an unknown letter, or the end of the text
            conversion_unknown_to_the_c_runtime();
    }
}

consteval void Check(const wchar_t* format, const ArgInfo* argInfos, size_t argCount)
{
    ArgCursor args(argInfos, argCount);
    for (const wchar_t* p = format; *p; ++p) {
        if (*p != L'%') continue;
        ++p;
        if (*p == L'%') continue;
        while (*p == L'-' || *p == L'+' || *p == L' ' || *p == L'#' || *p == L'0') ++p;
        if (*p == L'*') {
            args.NextStar();
            ++p;
        }
        while (IsDigit(*p)) ++p;
        if (*p == L'.') {
            ++p;
            if (*p == L'*') {
                args.NextStar();
                ++p;
            }
            while (IsDigit(*p)) ++p;
        }
        SizePrefix prefix = SizePrefix::None;
        if (p[0] == L'h') {
            prefix = SizePrefix::Short;
            ++p;
        } else if (p[0] == L'l' && p[1] == L'l') {
            prefix = SizePrefix::LongLong;
            p += 2;
        } else if (p[0] == L'l') {
            prefix = SizePrefix::Long;
            ++p;
        } else if (p[0] == L'w') {
            prefix = SizePrefix::Wide;
            ++p;
        } else if (p[0] == L'I' && p[1] == L'6' && p[2] == L'4') {
            prefix = SizePrefix::Int64;
            p += 3;
        } else if (p[0] == L'I' && p[1] == L'3' && p[2] == L'2') {
            prefix = SizePrefix::Int32;
            p += 3;
        } else if (p[0] == L'I') {
            prefix = SizePrefix::PointerSized;
            ++p;
        }
        CheckConversion(*p, prefix, args);  // refuses the terminator: a "%" that ends the text
    }
    if (!args.AllTaken()) wide_format_refused::more_arguments_than_conversions();
}

// A format built at run time: see RuntimeFormat.
struct RuntimeText {
    const wchar_t* text;
};

}  // namespace wide_format

// The escape from the check, for a format the program builds at run time.
constexpr wide_format::RuntimeText RuntimeFormat(const wchar_t* text) { return {text}; }

template <typename... Args>
class BasicWideFormatString {
    static_assert((wide_format::IsPlainValue<Args> && ...),
                  "format arguments must be plain values: pass .c_str() for strings");

public:
    template <typename Text>
        requires std::is_convertible_v<const Text&, const wchar_t*>
    consteval BasicWideFormatString(const Text& text) : m_text(text)
    {
        const wide_format::ArgInfo args[sizeof...(Args) + 1] = {wide_format::Describe<Args>()..., {}};
        wide_format::Check(m_text, args, sizeof...(Args));
    }
    constexpr BasicWideFormatString(wide_format::RuntimeText runtime) : m_text(runtime.text) {}

    constexpr const wchar_t* Get() const { return m_text; }

private:
    const wchar_t* m_text;
};

// Args are never deduced from the format, only from the arguments after it.
template <typename... Args>
using WideFormatString = BasicWideFormatString<std::type_identity_t<Args>...>;
