// Job tokens: the text by which a job names itself to the job manager's
// services (the indexing connection among them).
//
// Stand-in form: "JT:<job id>:<n1>:<n2>:<n3>", decimal numbers, the job id
// above 0 and the three numbers 0 or more. Nothing else is a token.
#pragma once

#include <string>

struct JobToken {
    long long jobId = 0;
    int numbers[3] = {0, 0, 0};
};

// False for text that is not a token; `out` (when given) gets its parts.
bool parseJobToken(const std::string& text, JobToken* out = nullptr);
// The token of a job; "" for a job id below 1 or a negative number.
std::string constructJobToken(long long jobId, int n1, int n2, int n3);
