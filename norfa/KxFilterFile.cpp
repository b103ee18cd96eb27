#include "norfa/KxFilterFile.h"

#include <strings.h>
#include <sys/stat.h>

#include <cctype>
#include <cerrno>
#include <cstring>
#include <new>

#include "mapping/ContentMapper.h"
#include "platform/agent/EvEvent.h"
#include "platform/agent/KxLog.h"
#include "platform/base/QMErrorUtil.h"
#include "platform/content/CFilterTerm.h"
#include "platform/content/CMonikerResolver.h"
#include "platform/os/KxLongPathHandler.h"

// Lines of the filter file, one at a time, with room for one line pushed
// back. The file form drops carriage returns and stops at a byte 26.
class KxFilterFile::LineSource {
public:
    explicit LineSource(FILE* f) : m_file(f) {}
    explicit LineSource(std::istream* in) : m_in(in) {}

    bool Reads(const void* stream) const {
        return stream == (m_file ? static_cast<const void*>(m_file) : static_cast<const void*>(m_in));
    }

    // 0 with a line (without its line feed; `hadNewline` says whether it had
    // one), -1 at the end, -2 for a line of more than `max` bytes (`line`
    // holds its first `max` bytes). An over-long line fails the parse, so it
    // is refused at its bound, the rest left unread (a line of gigabytes
    // costs no more than one of max + 1 bytes), unless `consumeRest` asks to
    // go on to the line's end as a caller of single lines needs.
    int Next(std::string& line, size_t max, bool* hadNewline = nullptr, bool consumeRest = false) {
        if (m_pushed) {
            m_pushed = false;
            line.swap(m_pushedLine);
            if (hadNewline)
                *hadNewline = true;
            return 0;
        }
        line.clear();
        if (m_ended)
            return -1;
        ++m_lineNumber;
        bool read = false, tooLong = false;
        for (;;) {
            int c = m_file ? getc(m_file) : m_in->get();
            if (c == EOF) {
                m_ended = true;
                break;
            }
            read = true;
            if (m_file && c == '\r')
                continue;
            if (m_file && c == 26) {
                m_ended = true;
                break;
            }
            if (c == '\n') {
                if (hadNewline)
                    *hadNewline = true;
                return tooLong ? -2 : 0;
            }
            if (line.size() < max) {
                line += static_cast<char>(c);
            } else {
                tooLong = true;
                if (!consumeRest) {
                    m_ended = true;  // the parse ends here: nothing after it is read
                    if (hadNewline)
                        *hadNewline = false;
                    return -2;
                }
            }
        }
        if (hadNewline)
            *hadNewline = false;
        if (tooLong)
            return -2;
        return read && !line.empty() ? 0 : -1;
    }

    void PushBack(std::string line) {
        m_pushedLine.swap(line);
        m_pushed = true;
    }
    long LineNumber() const { return m_lineNumber; }

private:
    FILE* m_file = nullptr;
    std::istream* m_in = nullptr;
    bool m_ended = false;
    bool m_pushed = false;
    std::string m_pushedLine;
    long m_lineNumber = 0;
};

namespace {

const char* KeywordName(int64_t code) {
    for (const FilterKeyWord& k : FilterKeyWords)
        if (k.code == code)
            return k.keyword;
    return "?";
}

bool IsExclusion(int64_t code) { return code == FILTER_PRUNEDIRS || code == FILTER_NONAMES; }
bool IsInclusion(int64_t code) { return code == FILTER_NOPRUNEDIRS || code == FILTER_YESNAMES; }

// An item without "/" holding "*" stands for that name at any depth.
std::string StarRule(const std::string& item) {
    if (item.find('/') != std::string::npos || item.find('*') == std::string::npos)
        return item;
    std::string out = "/**/" + item;
    EVDEBUG(1, "WildCard Filter %s corrected as %s", item.c_str(), out.c_str());
    return out;
}

void RemoveWildcardSuffix(std::string& item) {
    const size_t n = strlen(kFilterWildcardSuffix);
    if (item.size() >= n && item.compare(item.size() - n, n, kFilterWildcardSuffix) == 0) {
        EVDEBUG(1, "wildcard sufffix found in %s, removing it", item.c_str());
        item.resize(item.size() - n);
    }
}

// The item of a section line: up to the first tab or carriage return, and
// after the first byte 0x15 when it holds one.
std::string ItemOf(const std::string& line) {
    std::string item = line.substr(0, line.find_first_of("\n\t\r"));
    size_t mark = item.find('\x15');
    if (mark != std::string::npos)
        item.erase(0, mark + 1);
    return item;
}

void LogTooLong(long lineNumber, size_t max, const std::string& start) {
    KXLOG(-1, "Filter file line %ld is longer than %zu bytes; the filter file is not used: %.80s...", lineNumber, max,
          start.c_str());
}

void Add(LINK_LIST& list, const std::string& item) {
    if (!AddFilterNode(list, kFilterItemValid, item))
        throw std::bad_alloc();
}

void Add(std::list<ListElement_n>& list, const std::string& item) {
    ListElement_n el;
    el.code = kFilterItemValid;
    el.item = item;
    list.push_back(el);
}

}  // namespace

bool AddFilterNode(LINK_LIST& list, int32_t code, const std::string& item) {
    std::string node(sizeof(int32_t) + item.size() + 1, '\0');
    memcpy(&node[0], &code, sizeof code);
    memcpy(&node[sizeof code], item.data(), item.size());
    return list.AddToBottom(node.data(), node.size()) == 0;
}

KxFilterFile::KxFilterFile() = default;
KxFilterFile::~KxFilterFile() = default;

KxFilterFile::LineSource& KxFilterFile::SourceFor(FILE* file) {
    if (!m_source || !m_source->Reads(file))
        m_source.reset(new LineSource(file));
    return *m_source;
}

KxFilterFile::LineSource& KxFilterFile::SourceFor(std::istream* in) {
    if (!m_source || !m_source->Reads(in))
        m_source.reset(new LineSource(in));
    return *m_source;
}

int KxFilterFile::ReadLine(char* buffer, int size, FILE* file) {
    if (buffer == nullptr || size < 2 || file == nullptr)
        return -1;
    LineSource source(file);
    std::string line;
    bool newline = false;
    int rc = source.Next(line, static_cast<size_t>(size) - 2, &newline, true);
    buffer[0] = '\0';
    if (rc != 0)
        return rc;
    if (newline)
        line += '\n';
    memcpy(buffer, line.c_str(), line.size() + 1);
    return 0;
}

int KxFilterFile::CheckIfkeyWordToken(const std::string& line, int64_t& code) {
    size_t b = line.find_first_not_of(" \t");
    if (b == std::string::npos)
        return 0;
    const char* s = line.c_str() + b;
    for (const FilterKeyWord& k : FilterKeyWords) {
        const size_t n = strlen(k.keyword);
        if (strncasecmp(s, k.keyword, n) == 0 && (s[n] == '\0' || isspace(static_cast<unsigned char>(s[n])))) {
            code = k.code;
            return 1;
        }
    }
    return 0;
}

int KxFilterFile::IdentifyFilterItem(std::string& item) {
    if (!item.empty() && item[0] == '\\')
        item[0] = '/';
    if (item.find_first_of("*?[") != std::string::npos)
        return kFilterItemWildcard;
    struct stat st;
    int rc = ::stat(item.c_str(), &st);
    if (rc != 0 && errno == ENAMETOOLONG) {
        if (KxLongPathHandler* h = KxLongPathHandler::GetHandler())
            rc = h->stat_long(item.c_str(), &st);
    }
    if (rc == 0)
        return S_ISDIR(st.st_mode) ? kFilterItemDirectory : kFilterItemFile;
    const int e = errno;
    if (item == "/") {
        EVDEBUG(1, "FileScan: %s treated as directory rc = %d", item.c_str(), e);
        return kFilterItemDirectory;
    }
    EvDebug::Error("Scan", "Error Finding File %s rc = %d", item.c_str(), e);
    return kFilterItemFile;
}

CTyError KxFilterFile::ExpandWKFItem(const std::string& item, int64_t code, std::vector<std::string>& out) {
    if (item.empty())
        return CTyError();
    out.push_back(item);
    if (code != FILTER_SCDIRNAMES && code != FILTER_PRUNEDIRS && code != FILTER_NOPRUNEDIRS)
        return CTyError();
    std::string copy = item;
    RemoveWildcardSuffix(copy);
    if (copy.empty())
        return CTyError();
    std::unique_ptr<CMonikerResolver> resolver = CMonikerResolver::Create();
    std::unique_ptr<CContentItem> content = CContentItem::Create(copy);
    if (!resolver || !content)
        return QMErrorUtil::ErrorWin32(QM_LOC, 14, "cannot make the moniker resolver for [%s]", copy.c_str());
    std::vector<std::string> expanded;
    CTyError err = resolver->ExpandMonikers(*content, expanded);
    if (err.IsError())
        return err.Push(QM_LOC, "expanding [%s]", copy.c_str());
    if (expanded.empty())
        return CTyError();
    out.clear();
    for (std::string& e : expanded) {
        EVDEBUG(3, "Translated WKF item [%s]", e.c_str());
        if (code == FILTER_SCDIRNAMES && CFilterTerm::IsWildcardItem(e))
            e += kFilterWildcardSuffix;
        out.push_back(e);
    }
    return CTyError();
}

void KxFilterFile::AddItem(FilterParamBlock* block, int64_t code, std::string item) {
    const int kind = IdentifyFilterItem(item);
    if (IsExclusion(code)) {
        if (m_mapper != nullptr) {
            char local[kFilterSectionBuffer];
            if (m_mapper->MakeHostPathFromProxyPath(item.c_str(), local, sizeof local) == 0 && local[0] != '\0')
                item = local;
            else
                KXLOG(1, "Filter item %s is not mapped to a local path; kept as written", item.c_str());
        }
        EVDEBUG(1, "Found Token PRUNEDIRS and NONAMES buf=%s", item.c_str());
        Add(kind == kFilterItemFile ? block->excludeFiles : block->excludeDirs, StarRule(item));
    } else if (IsInclusion(code)) {
        EVDEBUG(1, "Found Token YESNAMES and NOPRUNEDIRS");
        const std::string text = StarRule(item);
        if (kind != kFilterItemDirectory)
            Add(block->includeFiles, text);
        if (kind != kFilterItemFile)
            Add(block->includeDirs, text);
    } else if (code == FILTER_SCDIRNAMES) {
        Add(block->scDirNames, item);
    } else if (code == FILTER_SCNODIRS) {
        EVDEBUG(1, "SCNODIRS %s", item.c_str());
        RemoveWildcardSuffix(item);
        Add(block->scNoDirs, item);
    }
}

void KxFilterFile::AddItem(FilterParamBlock_s* block, int64_t code, const std::string& item) {
    std::vector<std::string> expanded;
    CTyError err = ExpandWKFItem(item, code, expanded);
    if (err.IsError())
        KXLOG(-1, "Expanding item [%s] failed. Error [%s]", item.c_str(), err.Message().c_str());
    for (std::string e : expanded) {
        if (e.empty())
            continue;
        int kind = IdentifyFilterItem(e);
        if (IsInclusion(code) && kind == kFilterItemDirectory) {
            std::string all = e + (e.back() == '/' ? "**" : "/**");
            EVDEBUG(1, "Exception filter %s corrected as %s", e.c_str(), all.c_str());
            e = all;
            kind = kFilterItemWildcard;
        } else if (IsExclusion(code) && m_mapper != nullptr) {
            std::string local;
            if (m_mapper->MakeHostPathFromProxyPath(e, local) == 0 && !local.empty())
                e = local;
            else
                KXLOG(1, "Filter item %s is not mapped to a local path; kept as written", e.c_str());
        }
        if (IsExclusion(code)) {
            const std::string text = StarRule(e);
            if (kind != kFilterItemDirectory)
                Add(block->excludeFiles, text);
            if (kind != kFilterItemFile)
                Add(block->excludeDirs, text);
        } else if (IsInclusion(code)) {
            const std::string text = StarRule(e);
            Add(block->includeFiles, text);
            if (kind != kFilterItemFile)
                Add(block->includeDirs, text);
        } else if (code == FILTER_SCDIRNAMES) {
            Add(block->scDirNames, e);
        } else if (code == FILTER_SCNODIRS) {
            RemoveWildcardSuffix(e);
            Add(block->scNoDirs, e);
        }
    }
}

template <class Block>
int KxFilterFile::ReadItems(Block* block, int64_t code, size_t limit) {
    LineSource& source = *m_source;
    std::string line;
    for (;;) {
        int rc = source.Next(line, limit);
        if (rc == -1)
            return 0;
        if (rc == -2) {
            LogTooLong(source.LineNumber(), limit, line);
            return kFilterParseFailed;
        }
        int64_t keyword;
        if (CheckIfkeyWordToken(line, keyword)) {
            source.PushBack(std::move(line));
            return 0;
        }
        std::string item = ItemOf(line);
        if (!item.empty())
            AddItem(block, code, item);
    }
}

int KxFilterFile::ReadFilterItemsIntoList(FilterParamBlock* block, int64_t code) {
    if (block == nullptr || block->file == nullptr)
        return kFilterParseFailed;
    SourceFor(block->file);
    return ReadItems(block, code, kFilterSectionBuffer - 2);
}

int KxFilterFile::ReadFilterItemsIntoList(FilterParamBlock_s* block, int64_t code) {
    if (block == nullptr || block->input == nullptr)
        return kFilterParseFailed;
    SourceFor(block->input);
    return ReadItems(block, code, kFilterStreamLineMax);
}

template <class Block>
int KxFilterFile::Parse(Block* block, size_t topLimit) {
    int64_t code = 0;
    std::string line;
    for (;;) {
        int rc = m_source->Next(line, topLimit);
        if (rc == -1)
            return kFilterParseFailed;
        if (rc == -2) {
            LogTooLong(m_source->LineNumber(), topLimit, line);
            return kFilterParseFailed;
        }
        if (!CheckIfkeyWordToken(line, code))
            EVDEBUG(1, "Unrecognized KeyWord in Script: %s", line.c_str());
        switch (code) {
        case FILTER_BEGIN:
            EVDEBUG(1, "Found Token BEGIN");
            break;
        case FILTER_END:
            return kFilterParsedToEnd;
        case FILTER_PRUNEDIRS:
        case FILTER_NOPRUNEDIRS:
        case FILTER_NONAMES:
        case FILTER_YESNAMES:
        case FILTER_SCDIRNAMES:
        case FILTER_SCNODIRS:
            EVDEBUG(1, "Found Token %s", KeywordName(code));
            if (ReadFilterItemsIntoList(block, code) != 0)
                return kFilterParseFailed;
            break;
        default:
            EVDEBUG(1, "Unknown Token in filter file");
        }
    }
}

template <class Block, class Stream>
int KxFilterFile::ParseFrom(Block* block, Stream* stream, size_t topLimit) {
    if (block == nullptr || stream == nullptr)
        return kFilterParseFailed;
    try {
        m_source.reset(new LineSource(stream));
        return Parse(block, topLimit);
    } catch (const std::exception& e) {
        EvDebug::Error("Parse FilterFile", "Error in parsing FilterFile: %s", e.what());
        return kFilterParseFailed;
    }
}

int KxFilterFile::ParseFilterFile(FilterParamBlock* block) {
    return ParseFrom(block, block ? block->file : nullptr, kFilterTopBuffer - 2);
}

int KxFilterFile::ParseFilterFile(FilterParamBlock_s* block) {
    return ParseFrom(block, block ? block->input : nullptr, kFilterStreamLineMax);
}

bool checkVmAndAddPath(FilterParamBlock* block, const char* path) {
    if (block == nullptr || path == nullptr)
        return false;
    bool named = false;
    for (int i = 0; i < block->scDirNames.GetTotalNodes() && !named; ++i)
        named = strstr(path, FilterNode(block->scDirNames, i)->item) != nullptr;
    if (!named)
        return false;
    for (int i = 0; i < block->scNoDirs.GetTotalNodes(); ++i)
        if (strstr(path, FilterNode(block->scNoDirs, i)->item) != nullptr)
            return false;
    return AddFilterNode(block->includeDirs, kFilterItemValid, path);
}
