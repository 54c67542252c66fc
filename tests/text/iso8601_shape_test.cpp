// The reader's shortcut for "YYYY-MM-DDTHH:MM:SS..." against the scanf
// reading, on texts of exactly that shape and on one-character changes of it.
#include <cstdint>
#include <cstdio>
#include <random>
#include <string>

#include <gtest/gtest.h>

#include "text/iso8601_reference.h"
#include "text/text.h"

namespace {

TEST(Iso8601Shape, ShortcutAgreesWithTheScanfReading) {
    std::mt19937 gen(8601);
    const char swaps[] = "0123456789-T:.Z +\t/";
    const char *const tails[] = {"",   "Z",      ".5Z", ".123Z", ".1234567Z",
                                 ".Z", "+01:00", " .9", "Zx.77"};
    for (int i = 0; i < 300000; i++) {
        char t[20];
        std::snprintf(t, sizeof t, "%04u-%02u-%02uT%02u:%02u:%02u",
                      static_cast<unsigned>(gen() % 10000), static_cast<unsigned>(gen() % 100),
                      static_cast<unsigned>(gen() % 100), static_cast<unsigned>(gen() % 100),
                      static_cast<unsigned>(gen() % 100), static_cast<unsigned>(gen() % 100));
        std::string s = std::string(t) + tails[gen() % (sizeof tails / sizeof tails[0])];
        if (gen() % 2)
            s[gen() % s.size()] = swaps[gen() % (sizeof swaps - 1)];
        if (gen() % 8 == 0)
            s.resize(gen() % (s.size() + 1));
        ASSERT_EQ(nimbus_iso8601_ms(s.c_str()), iso8601_reference(s.c_str())) << s;
    }
}

} // namespace
