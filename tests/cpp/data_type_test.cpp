#include "data/data_type.hpp"
#include "data/scalar.hpp"

#include <gtest/gtest.h>

#include <cfloat>
#include <cmath>
#include <cstring>

namespace {

using tamsel::data::DataType;
using tamsel::data::Scalar;
using tamsel::data::SerializeStatus;
namespace data = tamsel::data;

constexpr DataType integer_types[] = {DataType::UINT8, DataType::INT8,   DataType::UINT16,
                                      DataType::INT16, DataType::UINT32, DataType::INT32};

TEST(DataType, Numbering) {
    EXPECT_EQ(data::data_type_from_number(0), std::nullopt);
    EXPECT_EQ(data::data_type_from_number(9), std::nullopt);
    for (int i = 0; i < data::data_type_count; ++i)
        EXPECT_EQ(data::data_type_from_number(i + 1), data::all_data_types[i]);
    EXPECT_EQ(data::bytes(DataType::BOOL), 1);
    EXPECT_EQ(data::min_value(DataType::INT32), INT32_MIN);
    EXPECT_EQ(data::max_value(DataType::UINT32), UINT32_MAX);
}

TEST(DataType, AlignBits) {
    EXPECT_EQ(data::align_bits(9, 8), 16u);
    EXPECT_EQ(data::align_bits(16, 8), 16u);
    EXPECT_EQ(data::align_bits(0, 8), 0u);
    EXPECT_EQ(data::align_bits(65535, 2), 65536u);
    EXPECT_EQ(data::align_bits(65535, 65535), 65535u);
    EXPECT_EQ(data::align_bits(1, 65535), 65535u);
    EXPECT_EQ(data::div_ceil(65535, 1), 65535);
    EXPECT_EQ(data::div_ceil(7, 8), 1);
}

// Every value of the 8- and 16-bit types, and the edges and a stride of the 32-bit ones, map to
// an integer form below 2^bits and back to themselves.
TEST(DataType, IntegerRoundTrip) {
    for (DataType type : integer_types) {
        SCOPED_TRACE(data::data_type_number(type));
        int64_t low = data::min_value(type), high = data::max_value(type);
        int64_t step = data::bits(type) == 32 ? 65521 : 1;
        auto check = [&](int64_t value) {
            auto raw = data::serialize_integer(type, value);
            ASSERT_TRUE(raw.has_value()) << value;
            ASSERT_LT(uint64_t{*raw}, uint64_t{1} << data::bits(type));
            ASSERT_EQ(data::unserialize_integer(type, *raw), value);
            auto back = data::unserialize(type, *raw);
            ASSERT_TRUE(back && numerically_equal(*back, Scalar::from_integer(value)));
        };
        for (int64_t value = low; value <= high; value += step) check(value);
        check(high);
        EXPECT_FALSE(data::serialize_integer(type, low - 1));
        EXPECT_FALSE(data::serialize_integer(type, high + 1));
    }
    EXPECT_EQ(data::serialize_integer(DataType::INT16, -1), 65535u);
    EXPECT_EQ(data::serialize_integer(DataType::INT8, -2), 0xFEu);
    EXPECT_EQ(data::serialize_integer(DataType::INT32, INT32_MIN), 0x80000000u);
}

TEST(DataType, UnserializeTakesNumbersWiderThanTheType) {
    EXPECT_EQ(data::unserialize_integer(DataType::UINT16, 70000), 70000);
    EXPECT_EQ(data::unserialize_integer(DataType::INT8, 0x180), 0x180 - 256);
    EXPECT_EQ(data::unserialize_integer(DataType::INT8, 0x17F), 0x17F);
    EXPECT_FALSE(data::unserialize(DataType::FLOAT, uint64_t{1} << 32));
    EXPECT_FALSE(data::unserialize(DataType::UINT32, uint64_t{1} << 62));
    EXPECT_TRUE(data::unserialize(DataType::UINT32, (uint64_t{1} << 62) - 1));
    auto truth = data::unserialize(DataType::BOOL, 2);
    ASSERT_TRUE(truth);
    EXPECT_EQ(truth->kind, Scalar::Kind::boolean);
    EXPECT_EQ(truth->integer, 1);
}

TEST(DataType, FloatBitPatterns) {
    EXPECT_EQ(data::serialize_float(1.0f), 0x3F800000u);
    EXPECT_EQ(data::unserialize_float(0x3F800000u), 1.0f);
    auto round_trip = [](uint32_t raw) {
        auto value = data::unserialize(DataType::FLOAT, raw);
        return data::serialize(DataType::FLOAT, *value).raw;
    };
    for (uint64_t raw = 0; raw <= UINT32_MAX; raw += 9973) EXPECT_EQ(round_trip(static_cast<uint32_t>(raw)), raw);
    // Signalling and quiet NaNs of both signs, infinities, denormals, zeros.
    for (uint32_t raw : {0x7F800001u, 0x7FBFFFFFu, 0x7FC00000u, 0xFF800001u, 0xFFFFFFFFu, 0x7F800000u, 0xFF800000u,
                         0x00000001u, 0x80000001u, 0x00000000u, 0x80000000u})
        EXPECT_EQ(round_trip(raw), raw);
    // The host's NaN (a quiet double) gives the quiet single NaN.
    EXPECT_EQ(data::serialize_float(data::narrow_to_float(std::bit_cast<double>(0x7FF8000000000000ull))), 0x7FC00000u);
    // A double NaN with only low payload bits stays a NaN.
    EXPECT_EQ(data::serialize_float(data::narrow_to_float(std::bit_cast<double>(0x7FF0000000000001ull))), 0x7FC00000u);
}

TEST(DataType, NarrowingOverflowsLikeTheHardware) {
    const double threshold = 0x1.ffffffp127;
    EXPECT_EQ(data::narrow_to_float(threshold), INFINITY);
    EXPECT_EQ(data::narrow_to_float(-threshold), -INFINITY);
    EXPECT_EQ(data::narrow_to_float(std::nextafter(threshold, 0.0)), FLT_MAX);
    EXPECT_EQ(data::narrow_to_float(1e300), INFINITY);
    EXPECT_EQ(data::narrow_to_float(1e-50), 0.0f);
    EXPECT_TRUE(std::isnan(data::narrow_to_float(NAN)));
    volatile double runtime = 0.1;
    EXPECT_EQ(data::narrow_to_float(runtime), static_cast<float>(runtime));
}

TEST(Scalar, HostNumericEquality) {
    auto i = Scalar::from_integer;
    auto r = Scalar::from_real;
    auto b = Scalar::from_bool;
    EXPECT_TRUE(numerically_equal(i(1), r(1.0)));
    EXPECT_TRUE(numerically_equal(b(true), i(1)));
    EXPECT_TRUE(numerically_equal(b(true), r(1.0)));
    EXPECT_TRUE(numerically_equal(b(false), r(-0.0)));
    EXPECT_FALSE(numerically_equal(r(NAN), r(NAN)));
    EXPECT_FALSE(numerically_equal(i(0), r(NAN)));
    EXPECT_FALSE(numerically_equal(i(1), r(1.5)));
    // 2^53 + 1 is no double: an exact comparison tells them apart.
    EXPECT_FALSE(numerically_equal(i((int64_t{1} << 53) + 1), r(0x1p53)));
    EXPECT_TRUE(numerically_equal(i(INT64_MIN), r(-0x1p63)));
    EXPECT_FALSE(numerically_equal(i(INT64_MAX), r(0x1p63)));
    EXPECT_FALSE(numerically_equal(i(0), r(INFINITY)));
}

TEST(Scalar, SerializeChecksRangeBeforeKind) {
    struct Case {
        DataType type;
        Scalar value;
        SerializeStatus status;
        uint32_t raw;
    };
    const Case cases[] = {
        {DataType::UINT8, Scalar::from_integer(256), SerializeStatus::out_of_range, 0},
        {DataType::INT8, Scalar::from_integer(-129), SerializeStatus::out_of_range, 0},
        {DataType::UINT8, Scalar::from_real(300.0), SerializeStatus::out_of_range, 0},
        {DataType::UINT8, Scalar::from_real(3.0), SerializeStatus::not_integer, 0},
        {DataType::UINT8, Scalar::from_real(NAN), SerializeStatus::not_integer, 0},
        {DataType::INT8, Scalar::from_bool(true), SerializeStatus::not_integer, 0},
        {DataType::INT16, Scalar::from_integer(-1), SerializeStatus::ok, 65535},
        {DataType::BOOL, Scalar::from_bool(true), SerializeStatus::ok, 1},
        {DataType::BOOL, Scalar::from_real(1.0), SerializeStatus::ok, 1},
        {DataType::BOOL, Scalar::from_integer(0), SerializeStatus::ok, 0},
        {DataType::BOOL, Scalar::from_integer(2), SerializeStatus::invalid_bool, 0},
        {DataType::BOOL, Scalar::from_real(0.5), SerializeStatus::invalid_bool, 0},
        {DataType::FLOAT, Scalar::from_integer(1), SerializeStatus::ok, 0x3F800000},
        {DataType::FLOAT, Scalar::from_bool(true), SerializeStatus::ok, 0x3F800000},
        {DataType::FLOAT, Scalar::from_real(INFINITY), SerializeStatus::ok, 0x7F800000},
        {DataType::FLOAT, Scalar::from_real(-1e300), SerializeStatus::float_overflow, 0},
        {DataType::FLOAT, Scalar::from_real(0x1.ffffffp127), SerializeStatus::float_overflow, 0},
        {DataType::FLOAT, Scalar::from_real(std::nextafter(0x1.ffffffp127, 0.0)), SerializeStatus::ok, 0x7F7FFFFF},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(data::data_type_number(c.type));
        auto result = data::serialize(c.type, c.value);
        EXPECT_EQ(result.status, c.status);
        if (c.status == SerializeStatus::ok) {
            EXPECT_EQ(result.raw, c.raw);
        }
    }
}

}  // namespace

// Comparing two forms agrees with comparing the values they stand for (a NaN form alone is unequal
// to itself), for every type, on forms around every width's edges, the float zeros, infinities
// and NaNs, and the unserialize limits.
TEST(DataType, FormComparisonFollowsTheValues) {
    const uint64_t forms[] = {0,
                              1,
                              2,
                              0x7F,
                              0x80,
                              0xFF,
                              0x100,
                              0x17F,
                              0x7FFF,
                              0x8000,
                              0xFFFF,
                              0x10000,
                              0x3F800000,
                              0x7F800000,
                              0x7FC00000,
                              0x7FC00001,
                              0x80000000,
                              0xFFFFFFFF,
                              uint64_t{1} << 32,
                              (uint64_t{1} << 62) - 1,
                              uint64_t{1} << 62,
                              ~uint64_t{0}};
    for (DataType type : data::all_data_types)
        for (uint64_t a : forms)
            for (uint64_t b : forms) {
                auto x = data::unserialize(type, a), y = data::unserialize(type, b);
                auto expected = !x || !y                    ? data::FormComparison::unknown
                                : numerically_equal(*x, *y) ? data::FormComparison::equal
                                                            : data::FormComparison::different;
                ASSERT_EQ(data::compare_forms(type, a, b), expected)
                    << data::data_type_number(type) << " " << a << " " << b;
                if (a == b && x) {
                    ASSERT_EQ(data::is_nan_form(type, a), expected != data::FormComparison::equal) << a;
                }
            }
}
