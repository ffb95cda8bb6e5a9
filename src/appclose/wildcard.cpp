#include "appclose/wildcard.h"

#include <cstddef>
#include <vector>

namespace mAppClose {

namespace {

enum class Kind { Literal, AnyChar, Digit, List, Star };

struct Token {
    Kind kind;
    wchar_t ch = 0;         // Literal
    std::size_t first = 0;  // List: the list's characters are pattern[first, last)
    std::size_t last = 0;
    bool negated = false;  // List
};

std::vector<Token> Tokenize(std::wstring_view pattern) {
    std::vector<Token> tokens;
    tokens.reserve(pattern.size());
    for (std::size_t i = 0; i < pattern.size(); ++i) {
        const wchar_t c = pattern[i];
        switch (c) {
            case L'*':
                // A run of stars means the same as one; keeping one keeps the backtracking linear.
                if (tokens.empty() || tokens.back().kind != Kind::Star)
                    tokens.push_back({Kind::Star});
                break;
            case L'?':
                tokens.push_back({Kind::AnyChar});
                break;
            case L'#':
                tokens.push_back({Kind::Digit});
                break;
            case L'[': {
                const std::size_t close = pattern.find(L']', i + 1);
                if (close == std::wstring_view::npos) {
                    tokens.push_back({Kind::Literal, c});
                    break;
                }
                Token list{Kind::List};
                list.first = i + 1;
                list.last = close;
                if (list.first < list.last && pattern[list.first] == L'!') {
                    list.negated = true;
                    ++list.first;
                }
                i = close;
                if (list.first == list.last) {
                    // "[]" stands for nothing at all; "[!]" excludes nothing, so takes any one character.
                    if (list.negated)
                        tokens.push_back({Kind::AnyChar});
                    break;
                }
                tokens.push_back(list);
                break;
            }
            default:
                tokens.push_back({Kind::Literal, c});
                break;
        }
    }
    return tokens;
}

bool SameLetter(wchar_t a, wchar_t b, CaseFold fold) {
    return a == b || fold(a) == fold(b);
}

bool InRange(wchar_t c, wchar_t low, wchar_t high, CaseFold fold) {
    if (low <= c && c <= high)
        return true;
    const wchar_t f = fold(c);
    return fold(low) <= f && f <= fold(high);
}

bool InList(std::wstring_view pattern, const Token& list, wchar_t c, CaseFold fold) {
    for (std::size_t i = list.first; i < list.last; ++i) {
        if (i + 2 < list.last && pattern[i + 1] == L'-') {
            if (InRange(c, pattern[i], pattern[i + 2], fold))
                return true;
            i += 2;
        } else if (SameLetter(c, pattern[i], fold)) {
            return true;
        }
    }
    return false;
}

bool MatchesOne(std::wstring_view pattern, const Token& token, wchar_t c, CaseFold fold) {
    switch (token.kind) {
        case Kind::Literal:
            return SameLetter(c, token.ch, fold);
        case Kind::AnyChar:
            return true;
        case Kind::Digit:
            return c >= L'0' && c <= L'9';
        case Kind::List:
            return InList(pattern, token, c, fold) != token.negated;
        case Kind::Star:
            break;
    }
    return false;
}

wchar_t Identity(wchar_t c) {
    return c;
}

}  // namespace

wchar_t FoldLatin(wchar_t c) {
    if (c < 0x80)
        return (c >= L'a' && c <= L'z') ? static_cast<wchar_t>(c - 0x20) : c;
    if (c < 0x100) {
        if (c >= 0xE0 && c <= 0xFE && c != 0xF7)
            return static_cast<wchar_t>(c - 0x20);
        if (c == 0xFF)
            return static_cast<wchar_t>(0x178);
        return c;
    }
    if (c < 0x180) {
        if (c == 0x131)
            return L'I';
        if (c == 0x17F)
            return L'S';
        // Pairs start on an even code point except in the two stretches 0139-0148 and 0179-017E.
        const bool oddStart = (c >= 0x139 && c <= 0x148) || (c >= 0x179 && c <= 0x17E);
        const bool paired = (c <= 0x12F) || (c >= 0x132 && c <= 0x137) || oddStart || (c >= 0x14A && c <= 0x177);
        if (paired && ((c % 2 == 1) != oddStart))
            return static_cast<wchar_t>(c - 1);
    }
    return c;
}

bool WildcardMatch(std::wstring_view text, std::wstring_view pattern, CaseFold fold) {
    if (fold == nullptr)
        fold = Identity;
    const std::vector<Token> tokens = Tokenize(pattern);
    const std::size_t none = static_cast<std::size_t>(-1);

    // Every token but "*" takes exactly one character, so on a mismatch it is enough to let the most
    // recent star take one character more and retry from there.
    std::size_t t = 0;
    std::size_t p = 0;
    std::size_t afterStar = none;
    std::size_t starText = 0;
    while (t < text.size()) {
        if (p < tokens.size() && tokens[p].kind == Kind::Star) {
            afterStar = ++p;
            starText = t;
            continue;
        }
        if (p < tokens.size() && MatchesOne(pattern, tokens[p], text[t], fold)) {
            ++p;
            ++t;
            continue;
        }
        if (afterStar == none)
            return false;
        p = afterStar;
        t = ++starText;
    }
    while (p < tokens.size() && tokens[p].kind == Kind::Star)
        ++p;
    return p == tokens.size();
}

std::wstring EscapeWildcard(std::wstring_view text) {
    std::wstring escaped;
    escaped.reserve(text.size());
    for (const wchar_t c : text) {
        if (c == L'*' || c == L'?' || c == L'#' || c == L'[') {
            escaped += L'[';
            escaped += c;
            escaped += L']';
        } else {
            escaped += c;
        }
    }
    return escaped;
}

}  // namespace mAppClose
