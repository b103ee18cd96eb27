// How two paths relate, on whole components (through PathUtil, so that "/a"
// never holds "/ab"; trailing slashes do not count).
#pragma once

#include <string>

#include "platform/text/PathUtil.h"

class ComparePath {
public:
    enum : int {
        kSame = 0,          // the same path
        kFirstInside = 1,   // `a` lies inside `b`
        kSecondInside = 2,  // `b` lies inside `a`
        kUnrelated = 3,
    };

    static int Check(const std::string& a, const std::string& b) {
        if (a == b)
            return kSame;
        bool aCoversB = PathUtil::IsPrefixPath(a, b);
        bool bCoversA = PathUtil::IsPrefixPath(b, a);
        if (aCoversB && bCoversA)
            return kSame;
        if (bCoversA)
            return kFirstInside;
        return aCoversB ? kSecondInside : kUnrelated;
    }
};
