#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "platform/base/CTyError.h"
#include "platform/base/QMErrorUtil.h"

namespace {

TEST(CTyErrorTest, SuccessIsSmallAndDoesNotAllocate) {
    CTyError ok;
    EXPECT_TRUE(ok.IsSuccess());
    EXPECT_EQ(ok.Code(), 0);
    // A code, a number and one pointer; context cannot turn success into an error.
    EXPECT_LE(sizeof(CTyError), 2 * sizeof(int32_t) + sizeof(void*));
    ok.Push(QM_LOC, "context %d", 1);
    EXPECT_TRUE(ok.IsSuccess());
    // It holds no message list of its own (it answers the one shared empty list).
    EXPECT_EQ(&CTyError(ok).Entries(), &CTyError().Entries());
}

TEST(CTyErrorTest, NumbersAreEncodedByKind) {
    struct Case {
        CTyError e;
        CTyError::FacilityKind facility;
        int errNo, win32, code;
    } cases[] = {
        {QMErrorUtil::ErrorErrNo(QM_LOC, ENOENT, "x"), CTyError::FacilityErrNo, ENOENT, 0, -((1 << 24) | 2)},
        {QMErrorUtil::ErrorWin32(QM_LOC, 774, "x"), CTyError::FacilityWin32, 0, 774, -((2 << 24) | 774)},
        {QMErrorUtil::ErrorWin32(QM_LOC, 2, "x"), CTyError::FacilityWin32, 0, 2, -((2 << 24) | 2)},
        {QMErrorUtil::ErrorErrNo(QM_LOC, 0, "x"), CTyError::FacilityErrNo, 0, 0, -(1 << 24)},  // still an error
        // Numbers that do not fit in the code are kept whole beside it.
        {QMErrorUtil::ErrorWin32(QM_LOC, 0x1000000, "x"), CTyError::FacilityWin32, 0, 0x1000000,
         -((2 << 24) | CTyError::kNumberOverflow)},
        {QMErrorUtil::ErrorWin32(QM_LOC, -1, "x"), CTyError::FacilityWin32, 0, -1,
         -((2 << 24) | CTyError::kNumberOverflow)},
    };
    for (const Case& c : cases) {
        EXPECT_TRUE(c.e.IsError());
        EXPECT_EQ(c.e.Facility(), c.facility);
        EXPECT_EQ(c.e.ErrNo(), c.errNo);
        EXPECT_EQ(c.e.Win32Code(), c.win32);
        EXPECT_EQ(c.e.Code(), c.code);
    }
    EXPECT_EQ(QMErrorUtil::ErrorErrNo(QM_LOC, ENOENT, "cannot open %s", "/x").Message(), "cannot open /x");
}

TEST(CTyErrorTest, MessageStackAndCopies) {
    int line = __LINE__ + 1;
    CTyError e = QMErrorUtil::ErrorErrNo(QM_LOC, EACCES, "cannot open %s", "/c/f");
    e.Push(QM_LOC, "reading collect file %d", 7);
    EXPECT_EQ(e.Message(), "reading collect file 7: cannot open /c/f");
    EXPECT_STREQ(e.what(), "reading collect file 7: cannot open /c/f");
    EXPECT_NE(e.Describe().find(std::string("[errno 13: ") + strerror(EACCES) + "]"),
              std::string::npos)
        << e.Describe();
    std::string trace = e.Trace();
    EXPECT_LT(trace.find("reading collect file 7"), trace.find("cannot open /c/f"));
    EXPECT_NE(trace.find("error_test.cpp:" + std::to_string(line)), std::string::npos) << trace;

    // Copies are independent.
    CTyError copy = e;
    copy.Push(QM_LOC, "outer");
    EXPECT_EQ(e.Entries().size(), 2u);
    EXPECT_EQ(copy.Entries().size(), 3u);
    e = copy;
    EXPECT_EQ(e.Message(), "outer: reading collect file 7: cannot open /c/f");
    e = CTyError::Success();
    EXPECT_TRUE(e.IsSuccess());
    EXPECT_EQ(&e.Entries(), &CTyError().Entries());

    // A long message is kept whole.
    std::string longText(3000, 'x');
    CTyError l = QMErrorUtil::ErrorWin32(QM_LOC, 14, "%s!", longText.c_str());
    EXPECT_EQ(l.Message(), longText + "!");
}

}  // namespace
