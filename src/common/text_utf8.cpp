// Portable UTF-8 <-> UTF-16 conversions for the host build. They follow the
// Unicode "maximal subpart" practice: each malformed run becomes one U+FFFD,
// as the Windows converter does without its strict flag.
#include "common/text.h"

#include <cstring>

namespace {

constexpr char16_t kReplacement = 0xFFFD;

// Length of the valid UTF-8 sequence at p (1-4), or 0 with *bad set to the
// length of the maximal malformed subpart to replace.
std::size_t DecodeOne(const unsigned char* p, std::size_t left, char32_t* cp, std::size_t* bad) {
    unsigned char b0 = p[0];
    if (b0 < 0x80) { *cp = b0; return 1; }
    std::size_t need;
    unsigned char lo = 0x80, hi = 0xBF;
    if (b0 >= 0xC2 && b0 <= 0xDF) need = 1;
    else if (b0 == 0xE0) { need = 2; lo = 0xA0; }
    else if (b0 >= 0xE1 && b0 <= 0xEC) need = 2;
    else if (b0 == 0xED) { need = 2; hi = 0x9F; }
    else if (b0 >= 0xEE && b0 <= 0xEF) need = 2;
    else if (b0 == 0xF0) { need = 3; lo = 0x90; }
    else if (b0 >= 0xF1 && b0 <= 0xF3) need = 3;
    else if (b0 == 0xF4) { need = 3; hi = 0x8F; }
    else { *bad = 1; return 0; }

    char32_t value = b0 & (need == 1 ? 0x1F : need == 2 ? 0x0F : 0x07);
    for (std::size_t i = 1; i <= need; ++i) {
        unsigned char lower = (i == 1) ? lo : 0x80;
        unsigned char upper = (i == 1) ? hi : 0xBF;
        if (i >= left || p[i] < lower || p[i] > upper) { *bad = i; return 0; }
        value = (value << 6) | (p[i] & 0x3F);
    }
    *cp = value;
    return need + 1;
}

void AppendCodePoint(WString& out, char32_t cp) {
    if (cp < 0x10000) {
        out.push_back(static_cast<WChar>(cp));
    } else {
        cp -= 0x10000;
        out.push_back(static_cast<WChar>(0xD800 + (cp >> 10)));
        out.push_back(static_cast<WChar>(0xDC00 + (cp & 0x3FF)));
    }
}

}  // namespace

WString Utf8ToWideAll(const char* data, std::size_t size) {
    WString out;
    out.reserve(size);
    auto p = reinterpret_cast<const unsigned char*>(data);
    std::size_t i = 0;
    while (i < size) {
        char32_t cp = 0;
        std::size_t bad = 0;
        std::size_t n = DecodeOne(p + i, size - i, &cp, &bad);
        if (n == 0) {
            out.push_back(kReplacement);
            i += bad;
        } else {
            AppendCodePoint(out, cp);
            i += n;
        }
    }
    return out;
}

WString Utf8ToWide(const std::string& utf8) {
    return Utf8ToWideAll(utf8.data(), std::strlen(utf8.c_str()));
}

void AppendUtf8(std::string& out, const WChar* data, std::size_t size) {
    for (std::size_t i = 0; i < size; ++i) {
        char32_t cp = static_cast<char16_t>(data[i]);
        if (cp >= 0xD800 && cp <= 0xDBFF && i + 1 < size &&
            static_cast<char16_t>(data[i + 1]) >= 0xDC00 && static_cast<char16_t>(data[i + 1]) <= 0xDFFF) {
            cp = 0x10000 + ((cp - 0xD800) << 10) + (static_cast<char16_t>(data[i + 1]) - 0xDC00);
            ++i;
        } else if (cp >= 0xD800 && cp <= 0xDFFF) {
            cp = kReplacement;
        }
        if (cp < 0x80) {
            out.push_back(static_cast<char>(cp));
        } else if (cp < 0x800) {
            out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
            out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
        } else if (cp < 0x10000) {
            out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
            out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
        } else {
            out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
            out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
        }
    }
}

std::string WideToUtf8All(const WChar* data, std::size_t size) {
    std::string out;
    out.reserve(size * 3);
    AppendUtf8(out, data, size);
    return out;
}

std::string WideToUtf8(const WString& wide) {
    return WideToUtf8All(wide.c_str(), std::char_traits<WChar>::length(wide.c_str()));
}
