#include "platform/JobToken.h"

#include <cstdint>
#include <vector>

#include "platform/NumberParse.h"
#include "platform/QMString.h"

bool parseJobToken(const std::string& text, JobToken* out) {
    std::vector<std::string> parts;
    QMString::Split(text, ":", parts);
    if (parts.size() != 5 || parts[0] != "JT")
        return false;
    JobToken t;
    int64_t v = 0;
    if (!NumberParse::Int64(parts[1], v) || v < 1)
        return false;
    t.jobId = v;
    for (int i = 0; i < 3; ++i) {
        if (!NumberParse::Int64(parts[2 + i], v) || v < 0 || v > INT32_MAX)
            return false;
        t.numbers[i] = static_cast<int>(v);
    }
    if (out)
        *out = t;
    return true;
}

std::string constructJobToken(long long jobId, int n1, int n2, int n3) {
    if (jobId < 1 || n1 < 0 || n2 < 0 || n3 < 0)
        return std::string();
    return "JT:" + std::to_string(jobId) + ":" + std::to_string(n1) + ":" + std::to_string(n2) + ":" +
           std::to_string(n3);
}
