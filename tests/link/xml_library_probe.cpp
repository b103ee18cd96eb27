// A host program of libruxen.so alone, run by xml_library_test.cpp: it loads
// job error rules from the file it is given and says what of the XML stack
// the process maps before and after.
//
//   before xerces=<0|1> xml=<path of libruxen_xml.so, or ->
//   loaded=<0|1>
//   after xerces=<0|1> xml=<...>
//   log: <the reason of a failed load, as logged>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <string>

#include "errorpolicy/KxErrorControl.h"
#include "platform/agent/KxLog.h"

namespace {

void PrintMapped(const char* when) {
    std::ifstream maps("/proc/self/maps");
    bool xerces = false;
    std::string xml = "-", line;
    while (std::getline(maps, line)) {
        const size_t path = line.find('/');
        if (path == std::string::npos)
            continue;
        xerces = xerces || line.find("/libxerces-c") != std::string::npos;
        if (line.find("/libruxen_xml.so") != std::string::npos)
            xml = line.substr(path);
    }
    printf("%s xerces=%d xml=%s\n", when, xerces ? 1 : 0, xml.c_str());
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        fprintf(stderr, "usage: xml_library_probe RULES_FILE\n");
        return 2;
    }
    char logPath[] = "/tmp/ruxen_probe_log_XXXXXX";
    const int logFd = mkstemp(logPath);
    if (logFd < 0 || !KxLog::UseFile(logPath)) {
        perror("xml_library_probe: log file");
        return 2;
    }
    close(logFd);
    PrintMapped("before");
    KxErrorControl rules(argv[1], UnixPathStyle);
    printf("loaded=%d\n", rules.RulesLoaded() ? 1 : 0);
    PrintMapped("after");
    KxLog::UseStderr();
    std::ifstream log(logPath);
    for (std::string line; std::getline(log, line);)
        if (line.find("Failed to parse") != std::string::npos)
            printf("log: %s\n", line.substr(line.find("Failed to parse")).c_str());
    unlink(logPath);
    return 0;
}
