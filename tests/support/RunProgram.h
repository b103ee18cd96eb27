// Runs a program of the build (RUXEN_BIN_DIR) as a child process with its
// standard output and error captured to files of a working directory; or
// starts it, so that a test can act on it while it runs, and finishes it.
// A program named by its absolute path (a script) runs as it is.
#pragma once

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

#include "support/TestFiles.h"

namespace testfiles {

struct ProgramResult {
    int exitCode = -1;  // -1 when it did not exit normally
    std::string out, err;
    std::string outPath;  // where standard output was captured
};

struct ProgramOptions {
    std::vector<std::string> env;    // "NAME=value" set for the child
    std::function<void()> inChild;   // runs in the child just before exec
};

// Starts the program; Finish waits for it and reads what it wrote.
inline pid_t StartProgram(const std::string& workDir, const std::string& program, const std::vector<std::string>& args,
                          const ProgramOptions& options = {}) {
    const std::string exe = program[0] == '/' ? program : std::string(RUXEN_BIN_DIR) + "/" + program;
    const std::string name = program.substr(program.rfind('/') + 1);
    const std::string outPath = workDir + "/" + name + ".stdout";
    const std::string errPath = workDir + "/" + name + ".stderr";
    std::vector<std::string> store{exe};
    store.insert(store.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& a : store)
        argv.push_back(&a[0]);
    argv.push_back(nullptr);

    fflush(nullptr);
    pid_t pid = fork();
    if (pid == 0) {
        int o = open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        int e = open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (o < 0 || e < 0 || dup2(o, 1) < 0 || dup2(e, 2) < 0)
            _exit(126);
        for (const std::string& kv : options.env)
            putenv(const_cast<char*>(kv.c_str()));
        if (options.inChild)
            options.inChild();
        execv(exe.c_str(), argv.data());
        _exit(127);
    }
    EXPECT_GT(pid, 0);
    return pid;
}

inline ProgramResult FinishProgram(pid_t pid, const std::string& workDir, const std::string& program) {
    ProgramResult res;
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    if (WIFEXITED(status))
        res.exitCode = WEXITSTATUS(status);
    const std::string name = program.substr(program.rfind('/') + 1);
    res.outPath = workDir + "/" + name + ".stdout";
    res.out = ReadWholeFile(res.outPath);
    res.err = ReadWholeFile(workDir + "/" + name + ".stderr");
    return res;
}

inline ProgramResult RunProgram(const std::string& workDir, const std::string& program,
                                const std::vector<std::string>& args, const ProgramOptions& options = {}) {
    return FinishProgram(StartProgram(workDir, program, args, options), workDir, program);
}

}  // namespace testfiles
