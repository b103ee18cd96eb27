// The journal of a split or merge is read back from the job directory by
// the run after a kill, which acts on it: no input may crash the reader, a
// journal it takes names only plain entries of the directory, and a journal
// it takes, written again step by step, reads back the same.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "FuzzSupport.h"
#include "hardlinks/DirectoryJournal.h"

// A journal is a line a step, each naming one or two directory entries:
// inputs of a few thousand steps reach every way it is read.
RUXEN_FUZZ_MAX_LEN(64 * 1024)

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    for (const char* kind : {"split", "merge"}) {
        std::string words, error, words2;
        std::vector<DirectoryJournal::Step> steps, again;
        std::vector<std::string> marks, marks2;
        if (!DirectoryJournal::Parse(text, kind, words, steps, marks, error))
            continue;
        std::string written = "RXJOURNAL 1 " + std::string(kind) + (words.empty() ? "" : " " + words) + "\n";
        for (const DirectoryJournal::Step& s : steps) {
            for (const std::string* n : {&s.from, &s.to})
                if (n->find_first_of(std::string("/\t\n\r\0", 5)) != std::string::npos || *n == "." || *n == "..")
                    abort();
            const bool two = s.kind == DirectoryJournal::Step::kLink || s.kind == DirectoryJournal::Step::kRename;
            if (s.from.empty() || two == s.to.empty())
                abort();
            written += std::string(1, static_cast<char>(s.kind)) + "\t" + s.from + (two ? "\t" + s.to : "") + "\n";
        }
        written += "end\n";
        for (const std::string& m : marks)
            written += m + "\n";
        if (!DirectoryJournal::Parse(written, kind, words2, again, marks2, error) || words2 != words ||
            again.size() != steps.size() || marks2 != marks)
            abort();
        for (size_t i = 0; i < steps.size(); ++i)
            if (again[i].kind != steps[i].kind || again[i].from != steps[i].from || again[i].to != steps[i].to)
                abort();
    }
    return 0;
}
