// Names a parameterised test after its case's `name` field.
#pragma once

#include <gtest/gtest.h>

#include <string>

namespace test {

struct CaseName {
    template <class Case>
    std::string operator()(const ::testing::TestParamInfo<Case>& param) const {
        return param.param.name;
    }
};

}  // namespace test
