// MultiByteToWideChar, WideCharToMultiByte and the string helpers. UTF-8 is converted here; the ANSI code
// page 936 (GBK) goes through iconv's CP936, which like Windows maps the single byte 0x80 to the euro sign.
#include "winapi/stringapiset.h"
#include "winapi/winbase.h"

#include "text_internal.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <iconv.h>
#include <locale.h>
#include <wctype.h>

namespace winapi_internal {

namespace {

const char16_t REPLACEMENT = 0xFFFD;
const UINT ANSI_CODE_PAGE = 936;
const char* const ICONV_ANSI = "CP936";

bool is_high_surrogate(char16_t c) {
    return c >= 0xD800 && c <= 0xDBFF;
}
bool is_low_surrogate(char16_t c) {
    return c >= 0xDC00 && c <= 0xDFFF;
}

void append_code_point(std::u16string& out, uint32_t cp) {
    if (cp < 0x10000) {
        out.push_back((char16_t)cp);
    } else {
        cp -= 0x10000;
        out.push_back((char16_t)(0xD800 + (cp >> 10)));
        out.push_back((char16_t)(0xDC00 + (cp & 0x3FF)));
    }
}

// Decodes UTF-8. An ill-formed sequence is replaced by one U+FFFD per maximal invalid subpart, as Unicode
// recommends; with strict set it makes the whole conversion fail instead.
bool decode_utf8(const unsigned char* s, size_t n, bool strict, std::u16string& out) {
    size_t i = 0;
    while (i < n) {
        unsigned char b = s[i];
        if (b < 0x80) {
            out.push_back(b);
            i++;
            continue;
        }
        size_t need;
        unsigned char lo = 0x80, hi = 0xBF;
        uint32_t cp;
        if (b >= 0xC2 && b <= 0xDF) {
            need = 1;
            cp = b & 0x1F;
        } else if (b >= 0xE0 && b <= 0xEF) {
            need = 2;
            cp = b & 0x0F;
            if (b == 0xE0) {
                lo = 0xA0;  // overlong below U+0800
            } else if (b == 0xED) {
                hi = 0x9F;  // UTF-16 surrogates
            }
        } else if (b >= 0xF0 && b <= 0xF4) {
            need = 3;
            cp = b & 0x07;
            if (b == 0xF0) {
                lo = 0x90;  // overlong below U+10000
            } else if (b == 0xF4) {
                hi = 0x8F;  // above U+10FFFF
            }
        } else {
            if (strict) {
                return false;
            }
            out.push_back(REPLACEMENT);
            i++;
            continue;
        }
        size_t j = i + 1;
        bool valid = true;
        for (size_t k = 0; k < need; k++, j++) {
            unsigned char first = k == 0 ? lo : 0x80, last = k == 0 ? hi : 0xBF;
            if (j >= n || s[j] < first || s[j] > last) {
                valid = false;
                break;
            }
            cp = (cp << 6) | (s[j] & 0x3F);
        }
        if (!valid) {
            if (strict) {
                return false;
            }
            out.push_back(REPLACEMENT);
        } else {
            append_code_point(out, cp);
        }
        i = j;
    }
    return true;
}

// Encodes UTF-16 as UTF-8; a lone surrogate becomes U+FFFD, or fails the conversion when strict is set.
bool encode_utf8(const char16_t* s, size_t n, bool strict, std::string& out) {
    for (size_t i = 0; i < n; i++) {
        uint32_t cp = s[i];
        if (is_high_surrogate(s[i]) && i + 1 < n && is_low_surrogate(s[i + 1])) {
            cp = 0x10000 + (((uint32_t)s[i] - 0xD800) << 10) + (s[i + 1] - 0xDC00);
            i++;
        } else if (is_high_surrogate(s[i]) || is_low_surrogate(s[i])) {
            if (strict) {
                return false;
            }
            cp = REPLACEMENT;
        }
        if (cp < 0x80) {
            out.push_back((char)cp);
        } else if (cp < 0x800) {
            out.push_back((char)(0xC0 | (cp >> 6)));
            out.push_back((char)(0x80 | (cp & 0x3F)));
        } else if (cp < 0x10000) {
            out.push_back((char)(0xE0 | (cp >> 12)));
            out.push_back((char)(0x80 | ((cp >> 6) & 0x3F)));
            out.push_back((char)(0x80 | (cp & 0x3F)));
        } else {
            out.push_back((char)(0xF0 | (cp >> 18)));
            out.push_back((char)(0x80 | ((cp >> 12) & 0x3F)));
            out.push_back((char)(0x80 | ((cp >> 6) & 0x3F)));
            out.push_back((char)(0x80 | (cp & 0x3F)));
        }
    }
    return true;
}

// iconv descriptors are not thread-safe; each thread keeps its own pair, opened on first use.
class AnsiConverters {
public:
    ~AnsiConverters() {
        if (to_wide_ != (iconv_t)-1) {
            iconv_close(to_wide_);
        }
        if (from_wide_ != (iconv_t)-1) {
            iconv_close(from_wide_);
        }
    }
    iconv_t to_wide() {
        if (to_wide_ == (iconv_t)-1) {
            to_wide_ = iconv_open("UTF-16LE", ICONV_ANSI);
        }
        return to_wide_;
    }
    iconv_t from_wide() {
        if (from_wide_ == (iconv_t)-1) {
            from_wide_ = iconv_open(ICONV_ANSI, "UTF-16LE");
        }
        return from_wide_;
    }

private:
    iconv_t to_wide_ = (iconv_t)-1;
    iconv_t from_wide_ = (iconv_t)-1;
};

thread_local AnsiConverters ansi_converters;

// Runs iconv over the whole input. On a sequence it cannot convert, on_error(position) is asked how many
// input bytes to skip (0 stops with failure) after appending its own replacement.
template <class OnError>
bool run_iconv(iconv_t cd, const char* in, size_t n, std::string& out, OnError on_error) {
    iconv(cd, nullptr, nullptr, nullptr, nullptr);
    char* ip = const_cast<char*>(in);
    size_t il = n;
    char buffer[4096];
    while (il > 0) {
        char* op = buffer;
        size_t ol = sizeof(buffer);
        size_t r = iconv(cd, &ip, &il, &op, &ol);
        int error = errno;
        out.append(buffer, (size_t)(op - buffer));
        if (r != (size_t)-1) {
            break;
        }
        if (error == E2BIG) {
            continue;
        }
        if (error != EILSEQ && error != EINVAL) {
            return false;
        }
        size_t skip = on_error((size_t)(ip - in));
        if (skip == 0) {
            return false;
        }
        skip = std::min(skip, il);
        ip += skip;
        il -= skip;
        iconv(cd, nullptr, nullptr, nullptr, nullptr);
    }
    return true;
}

std::u16string bytes_to_units(const std::string& bytes) {
    std::u16string units(bytes.size() / 2, 0);
    for (size_t i = 0; i < units.size(); i++) {
        units[i] = (char16_t)((unsigned char)bytes[2 * i] | ((unsigned char)bytes[2 * i + 1] << 8));
    }
    return units;
}

bool decode_ansi(const char* s, size_t n, bool strict, std::u16string& out) {
    iconv_t cd = ansi_converters.to_wide();
    if (cd == (iconv_t)-1) {
        return false;
    }
    std::string bytes;
    bool ok = run_iconv(cd, s, n, bytes, [&](size_t) -> size_t {
        if (strict) {
            return 0;
        }
        bytes.append("?\0", 2);
        return 1;
    });
    out += bytes_to_units(bytes);
    return ok;
}

bool encode_ansi(const char16_t* s, size_t n, const std::string& default_char, bool* used_default,
                 std::string& out) {
    iconv_t cd = ansi_converters.from_wide();
    if (cd == (iconv_t)-1) {
        return false;
    }
    std::string in(n * 2, '\0');
    for (size_t i = 0; i < n; i++) {
        in[2 * i] = (char)(s[i] & 0xFF);
        in[2 * i + 1] = (char)(s[i] >> 8);
    }
    return run_iconv(cd, in.data(), in.size(), out, [&](size_t position) -> size_t {
        size_t unit = position / 2;
        out += default_char;
        *used_default = true;
        // A character the code page lacks may be a surrogate pair: skip both halves.
        if (unit + 1 < n && is_high_surrogate(s[unit]) && is_low_surrogate(s[unit + 1])) {
            return 4;
        }
        return 2;
    });
}

locale_t unicode_locale() {
    static locale_t locale = newlocale(LC_CTYPE_MASK, "C.UTF-8", (locale_t)0);
    return locale;
}

enum class CodePage { utf8, ansi, unsupported };

CodePage code_page_of(UINT code_page) {
    switch (code_page) {
        case CP_UTF8:
            return CodePage::utf8;
        case CP_ACP:
        case CP_OEMCP:
        case CP_THREAD_ACP:
        case ANSI_CODE_PAGE:
            return CodePage::ansi;
        default:
            return CodePage::unsupported;
    }
}

}  // namespace

std::string utf16_to_utf8(const char16_t* text, size_t length) {
    std::string out;
    encode_utf8(text, length, false, out);
    return out;
}

std::string utf16_to_utf8(const char16_t* text) {
    return utf16_to_utf8(text, wide_length(text));
}

std::u16string utf8_to_utf16(const char* text, size_t length) {
    std::u16string out;
    decode_utf8((const unsigned char*)text, length, false, out);
    return out;
}

std::u16string utf8_to_utf16(const char* text) {
    return utf8_to_utf16(text, strlen(text));
}

std::u16string ansi_to_utf16(const char* text, size_t length) {
    std::u16string out;
    decode_ansi(text, length, false, out);
    return out;
}

std::u16string ansi_to_utf16(const char* text) {
    return ansi_to_utf16(text, strlen(text));
}

std::string utf16_to_ansi(const char16_t* text, size_t length) {
    std::string out;
    bool used_default = false;
    encode_ansi(text, length, "?", &used_default, out);
    return out;
}

std::string utf16_to_ansi(const std::u16string& text) {
    return utf16_to_ansi(text.data(), text.size());
}

size_t wide_length(const char16_t* text) {
    size_t n = 0;
    while (text[n]) {
        n++;
    }
    return n;
}

char16_t fold_case(char16_t c) {
    if (c < 0x80) {
        return (c >= u'A' && c <= u'Z') ? (char16_t)(c + 32) : c;
    }
    locale_t locale = unicode_locale();
    if (locale == (locale_t)0 || is_high_surrogate(c) || is_low_surrogate(c)) {
        return c;
    }
    wint_t folded = towlower_l((wint_t)c, locale);
    return folded <= 0xFFFF ? (char16_t)folded : c;
}

std::u16string fold_case(const std::u16string& text) {
    std::u16string folded(text);
    for (char16_t& c : folded) {
        c = fold_case(c);
    }
    return folded;
}

}  // namespace winapi_internal

using namespace winapi_internal;

int WINAPI MultiByteToWideChar(UINT codePage, DWORD flags, LPCSTR multiByte, int multiByteLength, LPWSTR wide,
                               int wideLength) {
    if (!multiByte || multiByteLength == 0 || multiByteLength < -1 || wideLength < 0 ||
        (!wide && wideLength > 0)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    CodePage page = code_page_of(codePage);
    if (page == CodePage::unsupported) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    DWORD allowed = page == CodePage::utf8 ? MB_ERR_INVALID_CHARS
                                           : (MB_PRECOMPOSED | MB_USEGLYPHCHARS | MB_ERR_INVALID_CHARS);
    if (flags & ~allowed) {
        SetLastError(ERROR_INVALID_FLAGS);
        return 0;
    }
    size_t length = multiByteLength == -1 ? strlen(multiByte) + 1 : (size_t)multiByteLength;
    bool strict = (flags & MB_ERR_INVALID_CHARS) != 0;
    std::u16string out;
    bool ok = page == CodePage::utf8 ? decode_utf8((const unsigned char*)multiByte, length, strict, out)
                                     : decode_ansi(multiByte, length, strict, out);
    if (!ok) {
        SetLastError(ERROR_NO_UNICODE_TRANSLATION);
        return 0;
    }
    if (wideLength == 0) {
        return (int)out.size();
    }
    if (out.size() > (size_t)wideLength) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return 0;
    }
    memcpy(wide, out.data(), out.size() * sizeof(char16_t));
    return (int)out.size();
}

int WINAPI WideCharToMultiByte(UINT codePage, DWORD flags, LPCWSTR wide, int wideLength, LPSTR multiByte,
                               int multiByteLength, LPCSTR defaultChar, LPBOOL usedDefaultChar) {
    if (!wide || wideLength == 0 || wideLength < -1 || multiByteLength < 0 ||
        (!multiByte && multiByteLength > 0)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    CodePage page = code_page_of(codePage);
    if (page == CodePage::unsupported) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    DWORD allowed =
        page == CodePage::utf8
            ? WC_ERR_INVALID_CHARS
            : (WC_COMPOSITECHECK | WC_DISCARDNS | WC_SEPCHARS | WC_DEFAULTCHAR | WC_NO_BEST_FIT_CHARS);
    if (flags & ~allowed) {
        SetLastError(ERROR_INVALID_FLAGS);
        return 0;
    }
    if (page == CodePage::utf8 && (defaultChar || usedDefaultChar)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    size_t length = wideLength == -1 ? wide_length(wide) + 1 : (size_t)wideLength;
    std::string out;
    bool ok;
    if (page == CodePage::utf8) {
        ok = encode_utf8(wide, length, (flags & WC_ERR_INVALID_CHARS) != 0, out);
    } else {
        // A double-byte code page may have a two-byte default character.
        std::string fallback =
            defaultChar && defaultChar[0] ? std::string(defaultChar, strnlen(defaultChar, 2)) : "?";
        bool used = false;
        ok = encode_ansi(wide, length, fallback, &used, out);
        if (usedDefaultChar) {
            *usedDefaultChar = used ? TRUE : FALSE;
        }
    }
    if (!ok) {
        SetLastError(ERROR_NO_UNICODE_TRANSLATION);
        return 0;
    }
    if (out.size() > (size_t)INT_MAX) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    if (multiByteLength == 0) {
        return (int)out.size();
    }
    if (out.size() > (size_t)multiByteLength) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return 0;
    }
    memcpy(multiByte, out.data(), out.size());
    return (int)out.size();
}

UINT WINAPI GetACP() {
    return ANSI_CODE_PAGE;
}

UINT WINAPI GetOEMCP() {
    return ANSI_CODE_PAGE;
}

int WINAPI lstrlenW(LPCWSTR text) {
    if (!text) {
        return 0;
    }
    size_t n = wide_length(text);
    return n > (size_t)INT_MAX ? INT_MAX : (int)n;
}

int WINAPI lstrcmpiW(LPCWSTR first, LPCWSTR second) {
    if (!first || !second) {
        return first == second ? 0 : (first ? 1 : -1);
    }
    for (size_t i = 0;; i++) {
        char16_t a = fold_case(first[i]), b = fold_case(second[i]);
        if (a != b) {
            return a < b ? -1 : 1;
        }
        if (a == 0) {
            return 0;
        }
    }
}
