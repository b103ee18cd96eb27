#include "platform/snapshot/ReplicaDBClient.h"

#include <map>

#include "platform/agent/KxLog.h"
#include "platform/base/NoDestructor.h"
#include "platform/base/NumberParse.h"
#include "platform/base/TestControl.h"
#include "platform/snapshot/StandInFixtures.h"
#include "platform/text/TabLineFile.h"

namespace {

std::map<int64_t, QueryFLRCPByJobIdRet_t>& answers() {
    static ruxen::NoDestructor<std::map<int64_t, QueryFLRCPByJobIdRet_t>> a;  // used from exit paths
    return *a;
}

// One fixture line into `out`; false when it is not a valid line.
bool parseLine(const std::vector<std::string>& f, QueryFLRCPByJobIdRet_t& out) {
    if (f[0] == "pairpath" && f.size() == 4) {
        FLRPairPathRecord_t r{0, f[2], f[3]};
        out.pairPaths.push_back(r);
        return NumberParse::Int(f[1], out.pairPaths.back().pairId);
    }
    if (f[0] == "snappair" && f.size() == 4) {
        FLRSnapPairRecord_t r;
        out.snapPairs.push_back(r);
        FLRSnapPairRecord_t& b = out.snapPairs.back();
        return NumberParse::Int(f[1], b.first) && NumberParse::Int(f[2], b.snapId) && NumberParse::Int(f[3], b.pairId);
    }
    if (f[0] == "snapshot" && f.size() == 4) {
        FLRSnapshotRecord_t r{0, f[2], f[3]};
        out.snapshots.push_back(r);
        return NumberParse::Int(f[1], out.snapshots.back().snapId);
    }
    return false;
}

}  // namespace

bool ReplicaDBClient::QueryFLRCPByJobId(const QueryFLRCPByJobIdV1Args_t& args, QueryFLRCPByJobIdRet_t& out) {
    out = QueryFLRCPByJobIdRet_t();
    auto it = answers().find(args.jobId);
    if (it != answers().end()) {
        out = it->second;
        return true;
    }
    std::string error;
    std::string path = StandInFixtures::PathFor(args.jobId, StandInFixtures::kReplicaSuffix, error);
    std::vector<TabLine> lines;
    if (path.empty() || !TabLineFile::Read(path, StandInFixtures::kMaxLineBytes, lines, error)) {
        KXLOG(1, "replica database (mode %d): no consistency points for job %lld: %s", m_mode,
              static_cast<long long>(args.jobId), error.c_str());
        return false;
    }
    for (const TabLine& l : lines) {
        if (!parseLine(l.fields, out)) {
            KXLOG(-1, "%s", TabLineFile::LineError(path, l.lineNo, "bad consistency-point line").c_str());
            out = QueryFLRCPByJobIdRet_t();
            return false;
        }
    }
    return true;
}

void ruxen::testcontrol::SetConsistencyPointAnswer(int64_t jobId, const QueryFLRCPByJobIdRet_t& answer) {
    answers()[jobId] = answer;
}

void ruxen::testcontrol::ResetConsistencyPointAnswers() { answers().clear(); }

namespace {
const ruxen::testcontrol::Registration kTestReset("replica database answers",
                                                  &ruxen::testcontrol::ResetConsistencyPointAnswers);
}  // namespace
