#include "error.hpp"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <string>

namespace corvane {
namespace {

TEST(Error, ParseDisplaysItsMessageBehindThePrefix) {
    EXPECT_EQ(Error::parse("AcqData directory not found").display(),
              "parse error: AcqData directory not found");
    EXPECT_EQ(Error::parse("").display(), "parse error: ");
}

TEST(Error, IoDisplaysThePlatformTextAndTheCode) {
    for (int code : {ENOENT, EACCES, EISDIR, 9999}) {
        SCOPED_TRACE(code);
        // std::strerror gives the same platform text as strerror_r, unknown codes included.
        EXPECT_EQ(Error::io(code).display(), std::string("I/O error: ") + std::strerror(code) +
                                                 " (os error " + std::to_string(code) + ")");
    }
    EXPECT_EQ(Error::io(ENOENT).display(), "I/O error: No such file or directory (os error 2)");
}

TEST(Error, OsMessageIsThePlatformTextAloneUnknownCodesIncluded) {
    for (int code : {ENOSPC, EPERM, 9999}) {
        SCOPED_TRACE(code);
        EXPECT_EQ(os_message(code), std::strerror(code));
    }
    EXPECT_EQ(os_message(ENOSPC), "No space left on device");
}

TEST(Error, EarlyEndOfFileHasItsOwnText) {
    EXPECT_EQ(Error::eof().display(), "I/O error: failed to fill whole buffer");
}

TEST(Error, KindsAndEquality) {
    const Error io = Error::io(ENOENT);
    const Error parse = Error::parse("x");
    EXPECT_TRUE(io.is_io());
    EXPECT_FALSE(io.is_parse());
    ASSERT_NE(io.as_io(), nullptr);
    EXPECT_EQ(io.as_io()->code, ENOENT);
    EXPECT_EQ(io.as_parse(), nullptr);
    ASSERT_NE(parse.as_parse(), nullptr);
    EXPECT_EQ(parse.as_parse()->message, "x");
    EXPECT_EQ(io, Error::io(ENOENT));
    EXPECT_NE(io, Error::io(EACCES));
    EXPECT_NE(io, parse);
    EXPECT_EQ(Error::eof(), Error::eof());
    EXPECT_NE(Error::eof(), Error::io(0));
    EXPECT_NE(parse, Error::parse("y"));
}

}  // namespace
}  // namespace corvane
