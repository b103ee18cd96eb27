// Rules XML comes from an administrator or the management server, and a
// failures file from the backup: the same bytes go through the file and the
// string loaders, and, as a failures file and as lines, through the
// aggregates of every object that loaded.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "FuzzSupport.h"

#include "errorpolicy/KxErrorControl.h"

namespace {

const char kRules[] =
    "<App_JobErrorDecisionRuleList><ruleList pattern=\"/d2/*\" jobDecision=\"2\"><e allErrorCodes=\"0\" "
    "fromValue=\"5\" toValue=\"13\"/></ruleList><ruleList pattern=\"*.log\" jobDecision=\"1\"><e "
    "allErrorCodes=\"1\" fromValue=\"0\" toValue=\"0\"/></ruleList></App_JobErrorDecisionRuleList>";

void Aggregate(KxErrorControl& ec, const std::string& file, const std::string& bytes) {
    std::string pattern, path;
    ec.GetJobDecisionFor(file, pattern, path, ':');
    std::vector<std::string> lines;
    size_t start = 0;
    for (size_t nl; (nl = bytes.find('\n', start)) != std::string::npos; start = nl + 1)
        lines.push_back(bytes.substr(start, nl - start));
    lines.push_back(bytes.substr(start));
    ec.GetJobDecisionFor(lines, pattern, path, ':');
    bool report;
    ec.GetJobDecisionFor(bytes, 13, pattern, report);
}

}  // namespace

// Past the XML reader's bound of 16 MiB.
RUXEN_FUZZ_MAX_LEN((16u << 20) + 64)

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string& path = fuzzsupport::ScratchFile("rules.xml");
    fuzzsupport::QuietLog();
    fuzzsupport::WriteInput(path, data, size);
    const std::string bytes(reinterpret_cast<const char*>(data), size);

    KxErrorControl fromFile(path, UnixPathStyle);
    KxErrorControl fromString(bytes, nullptr, WindowsPathStyle);
    KxErrorControl fixed(std::string(kRules), nullptr, UnixPathStyle);
    for (KxErrorControl* ec : {&fromFile, &fromString, &fixed})
        Aggregate(*ec, path, bytes);
    return 0;
}
