// Reads the documentation blocks of the public header from the source tree
// (its path comes from the build as TAVL_PUBLIC_HEADER).
#include <gtest/gtest.h>
#include <tavlin32.h>

#include <cctype>

#include "testsupport.h"

namespace tavltest {

namespace {

// std::regex draws false warnings from the compiler in sanitizer builds;
// the few shapes read here are matched by hand.
bool IsWordChar(char c) { return std::isalnum(static_cast<unsigned char>(c)) || c == '_'; }

// The identifier that ends right before position end of text.
std::string WordBefore(const std::string &text, size_t end) {
    size_t begin = end;
    while (begin > 0 && IsWordChar(text[begin - 1])) --begin;
    return text.substr(begin, end - begin);
}

// Every "name()" in text.
std::vector<std::string> CalledNames(const std::string &text) {
    std::vector<std::string> names;
    for (size_t at = text.find("()"); at != std::string::npos; at = text.find("()", at + 2)) {
        std::string name = WordBefore(text, at);
        if (!name.empty()) names.push_back(name);
    }
    return names;
}

size_t SkipSpace(const std::string &text, size_t at) {
    while (at < text.size() && std::isspace(static_cast<unsigned char>(text[at]))) ++at;
    return at;
}

// The function declared at "TAVL_API int32_t Name(" starting at position at,
// or "" when no declaration starts there.
std::string DeclaredAt(const std::string &text, size_t at) {
    at = SkipSpace(text, at + std::string("TAVL_API").size());
    if (text.compare(at, 7, "int32_t") != 0) return "";
    at = SkipSpace(text, at + 7);
    size_t end = at;
    while (end < text.size() && IsWordChar(text[end])) ++end;
    size_t paren = SkipSpace(text, end);
    if (end == at || paren >= text.size() || text[paren] != '(') return "";
    return text.substr(at, end - at);
}

HeaderDoc Parse(const std::string &text) {
    HeaderDoc doc;
    struct Block {
        size_t begin, end;
        std::vector<std::string> names;
    };
    std::vector<Block> found;
    for (size_t at = text.find("/*!"); at != std::string::npos; at = text.find("/*!", at + 3)) {
        size_t end = text.find("*/", at);
        if (end == std::string::npos) break;
        Block b{at, end + 2, {}};
        // The title runs to the first " :" of the block's first line.
        std::string first = text.substr(at, text.find('\n', at) - at);
        std::string title = first.substr(0, first.find(" :"));
        for (const std::string &name : CalledNames(title)) {
            b.names.push_back(name);
            doc.titled.push_back(name);
        }
        found.push_back(b);
    }
    for (size_t at = text.find("TAVL_API"); at != std::string::npos;
         at = text.find("TAVL_API", at + 8)) {
        const std::string name = DeclaredAt(text, at);
        if (name.empty()) continue;
        doc.declared.push_back(name);
        // The nearest block above; only declarations may stand between.
        const Block *above = nullptr;
        for (const Block &b : found)
            if (b.end <= at) above = &b;
        if (!above || text.substr(above->end, at - above->end).find("/*") != std::string::npos)
            continue;
        for (const std::string &n : above->names)
            if (n == name) doc.blocks[name] = text.substr(above->begin, above->end - above->begin);
    }
    return doc;
}

} // namespace

const HeaderDoc &PublicHeaderDoc() {
    static const HeaderDoc doc = [] {
        std::string text = ReadFile(TAVL_PUBLIC_HEADER);
        EXPECT_FALSE(text.empty()) << "cannot read " << TAVL_PUBLIC_HEADER;
        return Parse(text);
    }();
    return doc;
}

std::set<std::string> CodeWords(const std::string &text) {
    std::set<std::string> words;
    for (size_t at = text.find("TBL_"); at != std::string::npos; at = text.find("TBL_", at + 4)) {
        if (at > 0 && IsWordChar(text[at - 1])) continue;
        size_t end = at + 4;
        while (end < text.size() && (std::isupper(static_cast<unsigned char>(text[end])) ||
                                     text[end] == '_'))
            ++end;
        if (end == at + 4 || (end < text.size() && IsWordChar(text[end]))) continue;
        words.insert(text.substr(at, end - at));
    }
    return words;
}

bool Documents(const std::string &function, int32_t rc) {
    const HeaderDoc &doc = PublicHeaderDoc();
    auto it = doc.blocks.find(function);
    if (it == doc.blocks.end() || it->second.find("@return") == std::string::npos) return false;
    if (rc >= 0) return true;
    const char *name = TblResultName(rc);
    return name && CodeWords(it->second).count(name) == 1;
}

std::string FunctionOf(const char *case_name) {
    std::string name = case_name;
    return name.substr(0, name.find(' '));
}

void ExpectDocumentedResults(const std::vector<ExpectedCall> &calls) {
    for (const ExpectedCall &c : calls) {
        SCOPED_TRACE(c.name);
        const int32_t rc = c.call();
        EXPECT_EQ(rc, c.expect);
        EXPECT_TRUE(Documents(FunctionOf(c.name), rc)) << "its block does not name " << rc;
        if (c.cpp) {
            EXPECT_EQ(c.cpp(), c.expect == TBL_ERR_TRUNCATED ? TBL_OK : c.expect) << "through tavlin32.hpp";
        }
    }
}

} // namespace tavltest
