#include "cli/internal.hpp"

#include <gtest/gtest.h>

using Args = std::vector<std::string>;

TEST(CliArguments, PositionalsSkipOptionsAndTheirValues) {
    EXPECT_EQ(cli::positionals({"export", "a", "--out-dir", "--weird", "b", "--share", "c"}),
              (Args{"a", "b", "c"}));
    EXPECT_EQ(cli::positionals({"scan", "-", "-x", "", "--out=1", "--unknown", "d"}),
              (Args{"-", "-x", "", "d"}));
    EXPECT_EQ(cli::positionals({"scan", "--share"}), Args{});
    EXPECT_EQ(cli::positionals({"extract", "c1", "--also", "c2", "--keep", "c3", "--confirm"}),
              Args{"c1"});
    EXPECT_EQ(cli::positionals({}), Args{});
}

TEST(CliArguments, OptionValuesAndFlags) {
    Args args = {"export", "--out-dir", "o1", "x", "--out-dir", "o2", "--also", "a1", "--also"};
    EXPECT_EQ(cli::value_of(args, "--out-dir"), "o1");
    EXPECT_EQ(cli::value_of({"export", "x", "--out-dir"}, "--out-dir"), std::nullopt);
    // Only the first occurrence counts, even when it has no value.
    EXPECT_EQ(cli::value_of({"export", "x", "--out", "--out"}, "--out"), "--out");
    EXPECT_EQ(cli::values_of(args, "--also"), Args{"a1"});
    EXPECT_EQ(cli::values_of({"extract", "c", "--keep", "k1", "--keep", "k2"}, "--keep"),
              (Args{"k1", "k2"}));
    EXPECT_TRUE(cli::has_flag({"export", "--share", "x"}, "--share"));
    EXPECT_FALSE(cli::has_flag({"export", "--share=1", "x"}, "--share"));
}
