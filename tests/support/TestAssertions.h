#pragma once
// Assertions on texts the tests share.

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace zevtest {

// Every text appears in the log, in this order.
inline ::testing::AssertionResult containsInOrder(const std::string& log, const std::vector<std::string>& texts)
{
    std::size_t pos = 0;
    for (const std::string& t : texts) {
        const std::size_t found = log.find(t, pos);
        if (found == std::string::npos) return ::testing::AssertionFailure() << "missing or out of order: " << t;
        pos = found + t.size();
    }
    return ::testing::AssertionSuccess();
}

}  // namespace zevtest
