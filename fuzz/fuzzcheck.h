#pragma once

// A failed check ends the run as a finding, with what failed where.

#include <cstdio>
#include <cstdlib>

#define FUZZ_CHECK(condition)                                                                      \
    ((condition) ? static_cast<void>(0) : fuzzcheck::Fail(#condition, __FILE__, __LINE__))

namespace fuzzcheck {

[[noreturn]] inline void Fail(const char* condition, const char* file, int line)
{
    std::fprintf(stderr, "%s:%d: check failed: %s\n", file, line, condition);
    std::abort();
}

} // namespace fuzzcheck
