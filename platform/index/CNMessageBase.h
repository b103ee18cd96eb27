// The base of the maker's message classes: a message knows its type name and
// has a text form for logs.
#pragma once

#include <string>

class CNMessageBase {
public:
    virtual ~CNMessageBase() = default;
    virtual const char* messageType() const = 0;
    virtual std::string toText() const = 0;
};
