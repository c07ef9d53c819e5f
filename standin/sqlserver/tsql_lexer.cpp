#include "tsql_lexer.h"

#include <cctype>
#include <cstring>
#include <strings.h>

#include "tsql_error.h"

namespace sqlserver_standin {

bool Token::kw(const char* word) const {
    // Letters equal but for case differ at most in bit 0x20: most words are told apart by
    // their first character without a call.
    return kind == Tok::Ident && ((text[0] ^ word[0]) & ~0x20) == 0 && strcasecmp(text.c_str(), word) == 0;
}

namespace {

bool ident_start(unsigned char c) { return std::isalpha(c) || c == '_' || c == '#' || c >= 0x80; }
bool ident_char(unsigned char c) {
    return std::isalnum(c) || c == '_' || c == '$' || c == '#' || c == '@' || c >= 0x80;
}

// Reads a quoted run closed by `close`, where a doubled closer stands for itself.
std::string read_quoted(const std::string& s, size_t& i, char close) {
    std::string out;
    size_t start = i;
    ++i;
    for (;;) {
        if (i >= s.size())
            throw TsqlError(105, "42000",
                            "Unclosed quotation mark after the character string '" + s.substr(start) + "'.", 15);
        if (s[i] == close) {
            if (i + 1 < s.size() && s[i + 1] == close) {
                out += close;
                i += 2;
                continue;
            }
            ++i;
            return out;
        }
        out += s[i++];
    }
}

constexpr size_t kMaxIdentifier = 128;

// The first `chars` characters of UTF-8 text.
std::string leading_chars(const std::string& text, size_t chars) {
    size_t i = 0;
    for (size_t n = 0; i < text.size(); ++i) {
        unsigned char c = text[i];
        if ((c & 0xC0) == 0x80) continue;
        if (n++ == chars) break;
    }
    return text.substr(0, i);
}

void check_identifier(const Token& t) {
    if (utf16_length(t.text) > kMaxIdentifier)
        throw TsqlError(103, "42000",
                        "The identifier that starts with '" + leading_chars(t.text, kMaxIdentifier) +
                            "' is too long. Maximum length is 128.",
                        15);
}

}  // namespace

size_t utf16_length(const std::string& text) {
    size_t n = 0;
    for (unsigned char c : text)
        if ((c & 0xC0) != 0x80) n += c >= 0xF0 ? 2 : 1;
    return n;
}

std::vector<Token> tokenize(const std::string& s) {
    std::vector<Token> out;
    // A list of parameters ("?,?,...") has a token for every character or two: room for it
    // up front spares the copies of a vector grown token by token.
    out.reserve(s.size() / 2 + 8);
    size_t i = 0;
    while (i < s.size()) {
        unsigned char c = s[i];
        if (std::isspace(c)) {
            ++i;
            continue;
        }
        if (c == '-' && i + 1 < s.size() && s[i + 1] == '-') {
            while (i < s.size() && s[i] != '\n') ++i;
            continue;
        }
        if (c == '/' && i + 1 < s.size() && s[i + 1] == '*') {
            size_t end = s.find("*/", i + 2);
            i = end == std::string::npos ? s.size() : end + 2;
            continue;
        }
        size_t pos = i;
        if ((c == 'N' || c == 'n') && i + 1 < s.size() && s[i + 1] == '\'') {
            ++i;
            out.push_back({Tok::NString, read_quoted(s, i, '\''), pos});
        } else if (c == '\'') {
            out.push_back({Tok::String, read_quoted(s, i, '\''), pos});
        } else if (c == '[' || c == '"') {
            out.push_back({Tok::QuotedIdent, read_quoted(s, i, c == '[' ? ']' : '"'), pos});
            check_identifier(out.back());
        } else if (c == '0' && i + 1 < s.size() && (s[i + 1] == 'x' || s[i + 1] == 'X')) {
            i += 2;
            size_t start = i;
            while (i < s.size() && std::isxdigit(static_cast<unsigned char>(s[i]))) ++i;
            out.push_back({Tok::Hex, s.substr(start, i - start), pos});
        } else if (std::isdigit(c) || (c == '.' && i + 1 < s.size() && std::isdigit((unsigned char)s[i + 1]))) {
            while (i < s.size() && (std::isdigit((unsigned char)s[i]) || s[i] == '.')) ++i;
            if (i < s.size() && (s[i] == 'e' || s[i] == 'E')) {
                ++i;
                if (i < s.size() && (s[i] == '+' || s[i] == '-')) ++i;
                while (i < s.size() && std::isdigit((unsigned char)s[i])) ++i;
            }
            out.push_back({Tok::Number, s.substr(pos, i - pos), pos});
        } else if (c == '@') {
            ++i;
            while (i < s.size() && ident_char(s[i])) ++i;
            out.push_back({Tok::Variable, s.substr(pos, i - pos), pos});
            check_identifier(out.back());
        } else if (ident_start(c)) {
            while (i < s.size() && ident_char(s[i])) ++i;
            out.push_back({Tok::Ident, s.substr(pos, i - pos), pos});
            check_identifier(out.back());
        } else if (c == '?') {
            ++i;
            out.push_back({Tok::Param, "?", pos});
        } else {
            // Two-character operators: <> != <= >= !< !>
            char second = i + 1 < s.size() ? s[i + 1] : '\0';
            bool pair = ((c == '<' || c == '!') && (second == '>' || second == '=')) ||
                        (c == '>' && second == '=') || (c == '!' && second == '<');
            std::string o = pair ? s.substr(i, 2) : std::string(1, static_cast<char>(c));
            if (!pair && (c == '\0' || std::strchr("(),.;=<>+-*/%", c) == nullptr)) throw syntax_error(o);
            i += o.size();
            out.push_back({Tok::Op, o, pos});
        }
    }
    out.push_back({Tok::End, "", s.size()});
    return out;
}

}  // namespace sqlserver_standin
