// scripts/demo.sh, on this build: it backs up its sample tree, also on the
// job-directory road, and keeps what it made, naming commands to check it.
#include <gtest/gtest.h>

#include <unistd.h>

#include <iterator>
#include <sstream>
#include <string>
#include <vector>

#include "support/RunProgram.h"
#include "support/TestFiles.h"

namespace {

using namespace testfiles;

TEST(DemoScript, KeepsWhatItMadeAndSaysHowToCheckIt) {
    TempDir dir("ruxen_demo");
    const std::string out = dir / "demo", script = std::string(RUXEN_SOURCE_DIR) + "/scripts/demo.sh";
    ProgramOptions options;
    options.env = {"RUXEN_BUILD_DIR=" RUXEN_BIN_DIR "/..", "RUXEN_DEMO_DIR=" + out};
    ProgramResult r = RunProgram(dir.path(), script, {}, options);
    ASSERT_EQ(0, r.exitCode) << r.out << r.err;

    for (const char* kept : {"tree/docs/report.bin", "collect.txt", "stream.rxpl", "stream.txt", "job/CollectTot1.kxf",
                             "job-stream.rxpl", "job-stream.txt"})
        EXPECT_EQ(0, access((out + "/" + kept).c_str(), F_OK)) << kept;
    EXPECT_NE(std::string::npos, r.out.find("\nThe demo's files are in " + out + ":\n")) << r.out;

    // On the road the group's data goes once, each of its names naming it.
    EXPECT_EQ(1u, CountOf(r.out, " HEADER type=128 length=1160 name=\"/__KXHardLink")) << r.out;
    EXPECT_EQ(3u, CountOf(r.out, " text=\"/__KXHardLink")) << r.out;

    // Each command it gives works as printed.
    std::istringstream lines(r.out.substr(r.out.find("List and verify them with:\n")));
    size_t commands = 0;
    for (std::string line; std::getline(lines, line);) {
        if (line.compare(0, 3, "  /") != 0)
            continue;
        std::istringstream words(line);
        const std::vector<std::string> args{std::istream_iterator<std::string>(words), {}};
        ProgramResult c = RunProgram(dir.path(), args[0], {args.begin() + 1, args.end()});
        EXPECT_EQ(0, c.exitCode) << line << "\n" << c.out << c.err;
        ++commands;
    }
    EXPECT_EQ(3u, commands) << r.out;

    // A folder of one's own that holds anything is left alone.
    r = RunProgram(dir.path(), script, {}, options);
    EXPECT_EQ(2, r.exitCode);
    EXPECT_NE(std::string::npos, r.err.find("demo.sh: " + out + " is not empty")) << r.err;
    EXPECT_EQ(0, access((out + "/stream.rxpl").c_str(), F_OK));
}

}  // namespace
