// Tests that run on every backend present: the CPU always, CUDA where a
// device is usable. POWERGPU_TEST_BACKEND=cpu|cuda restricts the list (cuda
// then fails loudly when no device is usable, so a GPU run cannot pass by
// silently testing the CPU alone).
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

namespace powergpu::test {

std::vector<int32_t> backendsUnderTest();
bool cudaUsable();
std::string backendName(const ::testing::TestParamInfo<int32_t>& info);

}  // namespace powergpu::test

#define POWERGPU_INSTANTIATE_FOR_BACKENDS(Suite)                                                            \
    INSTANTIATE_TEST_SUITE_P(Backends, Suite, ::testing::ValuesIn(::powergpu::test::backendsUnderTest()), \
                             ::powergpu::test::backendName)
