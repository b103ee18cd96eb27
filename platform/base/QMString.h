// String helpers of the common utilities.
#pragma once

#include <string>
#include <vector>

class QMString {
public:
    // Flags of Split.
    enum : int {
        SplitDropEmpty = 0,  // pieces that are empty are left out
        SplitKeepEmpty = 1,  // every piece is kept, empty ones too (the default)
    };

    // Splits s at every occurrence of the delimiter string (the whole string
    // is one delimiter, not a set of characters) and replaces out with the
    // pieces, in order.
    //
    // With SplitKeepEmpty (the default), n delimiters give n + 1 pieces:
    // "a,,b" gives "a", "", "b"; ",a," gives "", "a", ""; and "" gives one
    // empty piece. Callers that want to pass over empty pieces do so
    // themselves, or pass SplitDropEmpty, which gives "a", "b" for "a,,b"
    // and no pieces for "" or ",,".
    //
    // An empty delimiter does not split: the pieces are s itself (or none,
    // when s is empty and empty pieces are dropped).
    static void Split(const std::string& s, const std::string& delim, std::vector<std::string>& out,
                      int flags = SplitKeepEmpty);

    // Splits s into words at any of the separator characters and replaces
    // out with the words, in order. Runs of separators, and separators at
    // either end, give no empty word: "  a  b " with " " gives "a", "b".
    // A null or empty separator set gives s as its one word (none when s is
    // empty).
    static void Tokenize(const std::string& s, const char* separators, std::vector<std::string>& out);

    // Removes spaces, tabs, carriage returns and line feeds at both ends.
    static void TrimWhiteSpace(std::string& s);

    // Removes every trailing character that is one of chars
    // ("/a/b\\/" with "\\/" gives "/a/b").
    static void RemoveRight(std::string& s, const std::string& chars);
};
