#include "sim/kernel/DebugLog.h"

#include <cstdint>
#include <cstdio>
#include <cwchar>

#include "sim/ddk/wdm.h"
#include "sim/kernel/Objects.h"

namespace sim {

namespace {
std::string Pad(std::string text, int width, bool left, char fill) {
    if (width <= 0 || static_cast<int>(text.size()) >= width) return text;
    std::string padding(static_cast<size_t>(width) - text.size(), fill);
    if (left) return text + std::string(padding.size(), ' ');
    if (fill == '0' && !text.empty() && (text[0] == '-' || text[0] == '+')) return text[0] + padding + text.substr(1);
    return padding + text;
}

std::string Wide(const WCHAR* text, int precision) {
    if (!text) return "(null)";
    std::wstring value = precision >= 0 ? std::wstring(text, wcsnlen(text, static_cast<size_t>(precision)))
                                        : std::wstring(text);
    return ToNarrow(value);
}
}  // namespace

std::string FormatKernel(const char* format, va_list args) {
    std::string out;
    for (const char* p = format; *p; ++p) {
        if (*p != '%') {
            out += *p;
            continue;
        }
        ++p;
        if (*p == '%') {
            out += '%';
            continue;
        }
        bool left = false, plus = false, space = false, alternate = false;
        char fill = ' ';
        for (;; ++p) {
            if (*p == '-') left = true;
            else if (*p == '+') plus = true;
            else if (*p == ' ') space = true;
            else if (*p == '#') alternate = true;
            else if (*p == '0') fill = '0';
            else break;
        }
        int width = 0;
        if (*p == '*') {
            width = va_arg(args, int);
            ++p;
        } else {
            while (*p >= '0' && *p <= '9') width = width * 10 + (*p++ - '0');
        }
        int precision = -1;
        if (*p == '.') {
            ++p;
            precision = 0;
            if (*p == '*') {
                precision = va_arg(args, int);
                ++p;
            } else {
                while (*p >= '0' && *p <= '9') precision = precision * 10 + (*p++ - '0');
            }
        }
        // Length: on Windows 'l' is 32 bits; 'll', 'I64' and 'I' (pointer-sized) are 64.
        bool wide64 = false, wideChar = false, shortInt = false;
        for (;;) {
            if (p[0] == 'I' && p[1] == '6' && p[2] == '4') {
                wide64 = true;
                p += 3;
            } else if (p[0] == 'I' && p[1] == '3' && p[2] == '2') {
                p += 3;
            } else if (*p == 'I' || *p == 'z' || *p == 'j') {
                wide64 = true;
                ++p;
            } else if (p[0] == 'l' && p[1] == 'l') {
                wide64 = true;
                p += 2;
            } else if (*p == 'l' || *p == 'w') {
                wideChar = true;  // only meaningful for c, s
                ++p;
            } else if (*p == 'h') {
                shortInt = true;
                ++p;
            } else {
                break;
            }
        }
        char conversion = *p;
        if (!conversion) break;
        char buffer[64];
        std::string text;
        switch (conversion) {
        case 'd':
        case 'i': {
            long long value = wide64 ? va_arg(args, long long) : va_arg(args, int);
            if (shortInt) value = static_cast<short>(value);
            snprintf(buffer, sizeof buffer, plus ? "%+lld" : space ? "% lld" : "%lld", value);
            text = buffer;
            break;
        }
        case 'u':
        case 'x':
        case 'X':
        case 'o': {
            unsigned long long value = wide64 ? va_arg(args, unsigned long long) : va_arg(args, unsigned int);
            if (shortInt) value = static_cast<unsigned short>(value);
            const char* form = conversion == 'u' ? "%llu" : conversion == 'x' ? "%llx" : conversion == 'X' ? "%llX" : "%llo";
            snprintf(buffer, sizeof buffer, form, value);
            text = buffer;
            if (precision >= 0) text = Pad(text, precision, false, '0');
            if (alternate && value) text = (conversion == 'x' ? "0x" : conversion == 'X' ? "0X" : "0") + text;
            break;
        }
        case 'p': {
            // The kernel prints pointers as all their hex digits, upper case.
            snprintf(buffer, sizeof buffer, "%016llX",
                     static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(va_arg(args, void*))));
            text = buffer;
            break;
        }
        case 'c':
            text = wideChar ? ToNarrow(std::wstring(1, static_cast<wchar_t>(va_arg(args, int))))
                            : std::string(1, static_cast<char>(va_arg(args, int)));
            break;
        case 'C':
            text = ToNarrow(std::wstring(1, static_cast<wchar_t>(va_arg(args, int))));
            break;
        case 's':
            if (wideChar) {
                text = Wide(va_arg(args, const WCHAR*), precision);
            } else {
                const char* value = va_arg(args, const char*);
                text = !value ? "(null)" : precision >= 0 ? std::string(value, strnlen(value, static_cast<size_t>(precision)))
                                                          : std::string(value);
            }
            break;
        case 'S':
            text = Wide(va_arg(args, const WCHAR*), precision);
            break;
        case 'Z': {
            auto* string = va_arg(args, const UNICODE_STRING*);
            text = string ? ToNarrow(FromUnicodeString(string)) : "(null)";
            break;
        }
        default:
            text = std::string("%") + conversion;
            break;
        }
        out += Pad(text, width, left, (conversion == 's' || conversion == 'c' || conversion == 'Z') ? ' ' : fill);
    }
    return out;
}

void DebugLog::Print(const std::string& text) {
    for (char c : text) {
        if (c == '\n') {
            lines_.push_back(partial_);
            if (echo_) echo_(partial_);
            partial_.clear();
        } else {
            partial_ += c;
        }
    }
}

}  // namespace sim
