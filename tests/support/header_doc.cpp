// Reads the documentation blocks of the public header from the source tree
// (its path comes from the build as TAVL_PUBLIC_HEADER).
#include <gtest/gtest.h>
#include <tavlin32.h>

#include <regex>

#include "testsupport.h"

namespace tavltest {

namespace {

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
        static const std::regex call(R"((\w+)\(\))");
        for (std::sregex_iterator m(title.begin(), title.end(), call), e; m != e; ++m) {
            b.names.push_back((*m)[1]);
            doc.titled.push_back((*m)[1]);
        }
        found.push_back(b);
    }
    static const std::regex decl(R"(TAVL_API\s+int32_t\s+(\w+)\s*\()");
    for (std::sregex_iterator m(text.begin(), text.end(), decl), e; m != e; ++m) {
        const std::string name = (*m)[1];
        const size_t at = static_cast<size_t>(m->position(0));
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
    static const std::regex word(R"(\bTBL_[A-Z_]+\b)");
    std::set<std::string> words;
    for (std::sregex_iterator m(text.begin(), text.end(), word), e; m != e; ++m) words.insert(m->str());
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
    }
}

} // namespace tavltest
