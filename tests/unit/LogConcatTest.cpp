// Hunts faults in the message builder: an integer piece that is printed with bytes that are
// not its digits (a to_chars buffer too small for the type, whose failure goes unnoticed), or
// that differs from what a default-formatted stream prints.
#include <cstdint>
#include <limits>
#include <memory>
#include <string>

#include <gtest/gtest.h>
#include <tarvik/common/Logging.h>
#include "tests/support/TestSupport.h"

namespace tarvik::common {
namespace {

__extension__ typedef unsigned __int128 Unsigned128;
__extension__ typedef __int128 Signed128;

class LogConcatTest : public testsupport::ScratchTest {
protected:
    std::string onlyMessage() {
        const testsupport::Log entries = log();
        return entries.size() == 1 ? entries[0].text : "(" + std::to_string(entries.size()) + ")";
    }
};

TEST_F(LogConcatTest, IntegersOfEveryWidthPrintAllTheirDigits) {
    logConcat(LogLevel::Warn, "[", std::numeric_limits<std::int64_t>::min(), "|",
              std::numeric_limits<std::uint64_t>::max(), "|", std::uint32_t{0xFFFFFFFFu}, "|", -7,
              "]");
    EXPECT_EQ(onlyMessage(), "[-9223372036854775808|18446744073709551615|4294967295|-7]");
}

// The project builds in the GNU dialect, where 128-bit integers are integral types.
TEST_F(LogConcatTest, OneHundredTwentyEightBitIntegersPrintAllTheirDigits) {
    const Unsigned128 largest = ~Unsigned128{0};
    const Signed128 smallest = -static_cast<Signed128>(largest >> 1) - 1;
    logConcat(LogLevel::Warn, "[", largest, "|", smallest, "]");
    EXPECT_EQ(onlyMessage(),
              "[340282366920938463463374607431768211455|"
              "-170141183460469231731687303715884105728]");
}

}  // namespace
}  // namespace tarvik::common
