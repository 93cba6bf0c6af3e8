// Pins the shared vocabulary (vocab_list.h) as C++ and as C see it.
#include <gtest/gtest.h>

#include <cstddef>

#include "VEMFuncNo.h"
#include "VEMInterface.h"
#include "VEMLogging.h"

extern "C" const long vem_c_values[];
extern "C" void vem_c_log_something(void);

TEST(Vocabulary, PinnedAlikeInCAndCxx) {
#define PIN(expr, value) {#expr, static_cast<long>(expr), value},
    const struct {
        const char* name;
        long cxx, want;
    } pins[] = {
#include "vocab_list.h"
    };
    for (std::size_t i = 0; i < std::size(pins); ++i) {
        EXPECT_EQ(pins[i].cxx, pins[i].want) << pins[i].name;
        EXPECT_EQ(vem_c_values[i], pins[i].want) << pins[i].name << " as C sees it";
    }
    vem_c_log_something();  // links and runs from C
}
