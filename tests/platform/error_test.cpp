#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <type_traits>
#include <utility>

#include "platform/CTyError.h"
#include "platform/CTyString.h"
#include "platform/KxException.h"
#include "platform/QMErrorUtil.h"

namespace {

TEST(CTyErrorTest, SuccessIsSmallAndDoesNotAllocate) {
    CTyError ok;
    EXPECT_FALSE(ok.IsError());
    EXPECT_TRUE(ok.IsSuccess());
    EXPECT_EQ(ok.Code(), 0);
    EXPECT_EQ(ok.Facility(), CTyError::FacilityNone);
    EXPECT_EQ(ok.ErrNo(), 0);
    EXPECT_EQ(ok.Message(), "");
    EXPECT_TRUE(ok.Entries().empty());
    EXPECT_FALSE(ok.HasMessageStorageForTest());
    EXPECT_FALSE(CTyError::Success().HasMessageStorageForTest());
    // A code, a number and one pointer.
    EXPECT_LE(sizeof(CTyError), 2 * sizeof(int32_t) + sizeof(void*));
    static_assert(std::is_nothrow_default_constructible<CTyError>::value, "");
    static_assert(std::is_nothrow_move_constructible<CTyError>::value, "");

    // Context cannot turn success into anything else.
    ok.Push(QM_LOC, "context %d", 1);
    EXPECT_TRUE(ok.IsSuccess());
    EXPECT_FALSE(ok.HasMessageStorageForTest());
    CTyError copy(ok);
    EXPECT_FALSE(copy.HasMessageStorageForTest());
}

TEST(CTyErrorTest, PositiveNumbersAreEncodedAsErrors) {
    CTyError e = QMErrorUtil::ErrorErrNo(QM_LOC, ENOENT, "cannot open %s", "/x");
    EXPECT_TRUE(e.IsError());
    EXPECT_FALSE(e.IsSuccess());
    EXPECT_EQ(e.Facility(), CTyError::FacilityErrNo);
    EXPECT_EQ(e.ErrNo(), ENOENT);
    EXPECT_EQ(e.Win32Code(), 0);
    EXPECT_EQ(e.Code(), -((1 << 24) | 2));
    EXPECT_EQ(e.Message(), "cannot open /x");
    EXPECT_TRUE(e.HasMessageStorageForTest());

    CTyError w = QMErrorUtil::ErrorWin32(QM_LOC, 774, "bad line %d", 3);
    EXPECT_TRUE(w.IsError());
    EXPECT_EQ(w.Facility(), CTyError::FacilityWin32);
    EXPECT_EQ(w.Win32Code(), 774);
    EXPECT_EQ(w.ErrNo(), 0);
    EXPECT_EQ(w.Code(), -((2 << 24) | 774));
    EXPECT_NE(w.Code(), e.Code());

    // The same number of the two kinds gives two different codes.
    EXPECT_NE(QMErrorUtil::ErrorErrNo(QM_LOC, 2, "x").Code(),
              QMErrorUtil::ErrorWin32(QM_LOC, 2, "x").Code());

    // 0 is still an error; it keeps the number 0.
    CTyError zero = QMErrorUtil::ErrorErrNo(QM_LOC, 0, "no errno");
    EXPECT_TRUE(zero.IsError());
    EXPECT_EQ(zero.ErrNo(), 0);
    EXPECT_EQ(zero.Facility(), CTyError::FacilityErrNo);
    EXPECT_TRUE(QMErrorUtil::ErrorWin32(QM_LOC, 0, "x").IsError());

    // Numbers that do not fit in the code are kept whole beside it.
    for (int big : {0x1000000, 0x7FFFFFFF, -1, -2147483647 - 1}) {
        CTyError b = QMErrorUtil::ErrorWin32(QM_LOC, big, "big");
        EXPECT_TRUE(b.IsError()) << big;
        EXPECT_EQ(b.Facility(), CTyError::FacilityWin32) << big;
        EXPECT_EQ(b.Win32Code(), big);
        EXPECT_EQ(b.Code(), -((2 << 24) | CTyError::kNumberOverflow));
    }
}

TEST(CTyErrorTest, MessageStackAndCopies) {
    int line = __LINE__ + 1;
    CTyError e = QMErrorUtil::ErrorErrNo(QM_LOC, EACCES, "cannot open %s", "/c/f");
    e.Push(QM_LOC, "reading collect file %d", 7);
    EXPECT_EQ(e.Message(), "reading collect file 7: cannot open /c/f");
    EXPECT_STREQ(e.what(), "reading collect file 7: cannot open /c/f");
    ASSERT_EQ(e.Entries().size(), 2u);
    EXPECT_EQ(e.Entries()[0].location.Line(), line);
    EXPECT_NE(std::string(e.Entries()[0].location.File()).find("error_test.cpp"), std::string::npos);
    EXPECT_NE(std::string(e.Entries()[0].location.Function()).find("TestBody"), std::string::npos);
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
    EXPECT_EQ(copy.Code(), e.Code());
    e = copy;
    EXPECT_EQ(e.Message(), "outer: reading collect file 7: cannot open /c/f");
    e = CTyError::Success();
    EXPECT_TRUE(e.IsSuccess());
    EXPECT_FALSE(e.HasMessageStorageForTest());

    CTyError moved = std::move(copy);
    EXPECT_TRUE(moved.IsError());
    EXPECT_EQ(moved.ErrNo(), EACCES);

    // A long message is kept whole.
    std::string longText(3000, 'x');
    CTyError l = QMErrorUtil::ErrorWin32(QM_LOC, 14, "%s!", longText.c_str());
    EXPECT_EQ(l.Message(), longText + "!");
}

TEST(CTyStringTest, OwnsItsText) {
    CTyString s(std::string("abc"));
    const char* p = s;
    EXPECT_STREQ(p, "abc");
    EXPECT_EQ(s.length(), 3u);
    EXPECT_TRUE(s == "abc");
    EXPECT_TRUE("abd" != s);
    CTyString n(static_cast<const char*>(nullptr));
    EXPECT_STREQ(n.c_str(), "");
    EXPECT_TRUE(n.empty());
    CTyString copy = s;
    copy += CTyString("d");
    EXPECT_STREQ(s, "abc");
    EXPECT_STREQ(copy, "abcd");
}

TEST(KxExceptionTest, CarriesItsParts) {
    try {
        throw KxException("ZXHSMMntTab::find", "Internal error: fname==NULL", "ZXHSMMntTab", -1);
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "ZXHSMMntTab::find: Internal error: fname==NULL");
        const KxException* kx = dynamic_cast<const KxException*>(&e);
        ASSERT_NE(kx, nullptr);
        EXPECT_EQ(kx->context(), "ZXHSMMntTab::find");
        EXPECT_EQ(kx->text(), "Internal error: fname==NULL");
        EXPECT_EQ(kx->source(), "ZXHSMMntTab");
        EXPECT_EQ(kx->code(), -1);
        EXPECT_EQ(kx->line(), 0);
    }
    KxException withLine("ctx", "text", "src", 42, 7);
    EXPECT_EQ(withLine.line(), 42);
    EXPECT_EQ(withLine.code(), 7);
}

}  // namespace
