// Directories the agent's configuration names, as the platform's directory
// queries answer them: the storage side's index caches, the client's
// job-results directory and the agent's own directories. Here they come
// from the registry:
//
//   [Bayloft]   dIndexCacheDir, dIndexLogsCacheDir
//   [Zonclient] dJobResultsDir, dInstallDir, dLogDir
//
// An absent or empty value answers false (or leaves the list without it).
#pragma once

#include <string>
#include <vector>

constexpr char kBayloftSection[] = "Bayloft";
constexpr char kZonclientSection[] = "Zonclient";

class KXPI_Bayloft {
public:
    // The index cache of the client (`client` is only logged: one cache
    // serves every client of this stand-in).
    static bool getIndexCacheDirectory(const std::string& client, std::string& out);
    static bool getIndexLogsCacheDirectory(const std::string& client, std::string& out);
};

class KXPI_Zonclient {
public:
    static bool getJobResultsDirectory(std::string& out);
    // The agent's own directories (installation, logs, job results):
    // failures of files under them are not reported.
    static std::vector<std::string> getAgentDirectories();
};
