// Tokens of the T-SQL dialect: identifiers ([..], ".." and bare, with $ and #),
// @variables, numbers, hex literals, '...' and N'...' strings, operators.
#pragma once

#include <string>
#include <vector>

namespace sqlserver_standin {

enum class Tok { Ident, QuotedIdent, Variable, Number, Hex, String, NString, Param, Op, End };

struct Token {
    Tok kind;
    std::string text;  // identifiers unquoted, strings unescaped, hex without 0x
    size_t pos = 0;
    bool is(Tok k) const { return kind == k; }
    // Case-insensitive keyword test; quoted identifiers are never keywords.
    bool kw(const char* word) const;
    // Operators are one or two characters: compared in place, the parser asks often.
    bool op(const char* o) const {
        if (kind != Tok::Op) return false;
        const char* t = text.c_str();
        return t[0] == o[0] && (o[0] == '\0' || (t[1] == o[1] && (o[1] == '\0' || t[2] == o[2])));
    }
};

// Fails with SQL Server's 103 on an identifier or variable name longer than 128 characters.
std::vector<Token> tokenize(const std::string& sql);

// The length of UTF-8 text in characters as SQL Server counts them (UTF-16 units).
size_t utf16_length(const std::string& text);

}  // namespace sqlserver_standin
