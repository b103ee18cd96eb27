// Owns Xerces-C's process-wide initialisation for a scope: the constructor
// initialises the library, the destructor destroys the guard's parser and
// then terminates it (Xerces counts initialisations, so guards may nest and
// may live on several threads' stacks at once: the guards serialise the
// library's own set-up and tear-down).
#pragma once

#include <memory>
#include <string>

class HardenedXmlParser;

class XercesGuard {
public:
    XercesGuard();
    ~XercesGuard();
    XercesGuard(const XercesGuard&) = delete;
    XercesGuard& operator=(const XercesGuard&) = delete;

    // Whether Xerces could be initialised (the reason in error() if not).
    bool ok() const { return m_ok; }
    const std::string& error() const { return m_error; }

    // The guard's hardened parser, made on first use; null when Xerces could
    // not be initialised or the parser could not be made.
    HardenedXmlParser* parser();

private:
    bool m_ok = false;
    std::string m_error;
    std::unique_ptr<HardenedXmlParser> m_parser;
};
