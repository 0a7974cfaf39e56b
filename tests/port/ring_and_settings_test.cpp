// ring_and_settings_test.cpp - the port's byte ring, the _DCB record, and
// which settings each converter variant takes.
#include <gtest/gtest.h>

#include "port/byte_ring.hpp"
#include "port/line_settings.hpp"

#include <numeric>

using world::ByteRing;
using world::CommSettings;
using world::CommParity;
using world::CommStopBits;

namespace {

std::vector<uint8_t> Iota(size_t n, uint8_t first)
{
    std::vector<uint8_t> v(n);
    std::iota(v.begin(), v.end(), first);
    return v;
}

uint32_t Le32(const std::array<uint8_t, world::kDcbSize> &b, size_t at)
{
    return uint32_t(b[at]) | uint32_t(b[at + 1]) << 8 | uint32_t(b[at + 2]) << 16 | uint32_t(b[at + 3]) << 24;
}

}  // namespace

TEST(ByteRing, WrapsAroundKeepingOrder)
{
    ByteRing ring(8);
    auto first = Iota(6, 1);
    ASSERT_EQ(ring.Push(first), 6u);
    std::vector<uint8_t> out(4);
    ASSERT_EQ(ring.Pop(out), 4u);
    EXPECT_EQ(out, Iota(4, 1));

    auto second = Iota(6, 7);  // the tail wraps past the end of the storage
    ASSERT_EQ(ring.Push(second), 6u);
    EXPECT_EQ(ring.size(), 8u);
    std::vector<uint8_t> all(16);
    ASSERT_EQ(ring.Pop(all), 8u);
    all.resize(8);
    EXPECT_EQ(all, Iota(8, 5));  // 5 6 from the first push, then 7..12
    EXPECT_TRUE(ring.empty());
}

TEST(ByteRing, TakesOnlyWhatFitsAndGivesOnlyWhatItHolds)
{
    ByteRing ring(5);
    EXPECT_EQ(ring.Push(Iota(9, 0)), 5u);
    EXPECT_EQ(ring.space(), 0u);
    EXPECT_EQ(ring.Push(Iota(1, 99)), 0u);

    std::vector<uint8_t> small(2);
    EXPECT_EQ(ring.Pop(small), 2u);
    EXPECT_EQ(small, Iota(2, 0));
    std::vector<uint8_t> big(10, 0xEE);
    EXPECT_EQ(ring.Pop(big), 3u);
    EXPECT_EQ(big[3], 0xEE) << "bytes past the count were touched";
    EXPECT_EQ(ring.Pop(big), 0u);
}

TEST(Dcb, FieldsSitAtTheirOffsets)
{
    CommSettings s{19200, 7, CommParity::Even, CommStopBits::Two, true};
    auto dcb = world::BuildDcb(s);
    EXPECT_EQ(Le32(dcb, 0), 48u);  // DCBLength
    EXPECT_EQ(Le32(dcb, 4), 19200u);
    EXPECT_EQ(Le32(dcb, 8), 1u);
    EXPECT_EQ(dcb[22], 7);
    EXPECT_EQ(dcb[23], 2);
    EXPECT_EQ(dcb[24], 2);
    for (size_t i = 0; i < dcb.size(); ++i) {
        bool field = i < 12 || (i >= 22 && i <= 24);
        if (!field) {
            EXPECT_EQ(dcb[i], 0) << "offset " << i;
        }
    }
    EXPECT_EQ(world::ParseDcb(dcb), s);

    auto odd = world::BuildDcb({115200, 8, CommParity::Odd, CommStopBits::One, false});
    EXPECT_EQ(Le32(odd, 4), 115200u);
    EXPECT_EQ(Le32(odd, 8), 0u);
    EXPECT_EQ(odd[23], 1);
    EXPECT_EQ(odd[24], 0);
}

TEST(LineSettingsCheck, EachVariantTakesOnlyTheRatesOfItsTable)
{
    for (ULONG variant : {1u, 2u}) {
        for (ULONG rate : {9600u, 19200u, 38400u, 115200u})
            EXPECT_FALSE(world::CheckCommSettings(variant, {rate})) << "variant " << variant << " rate " << rate;
        for (ULONG rate : {600u, 4800u, 57600u, 76800u, 0u}) {
            auto refusal = world::CheckCommSettings(variant, {rate});
            ASSERT_TRUE(refusal) << "variant " << variant << " rate " << rate;
            EXPECT_EQ(refusal->status, STATUS_NOT_SUPPORTED);
            EXPECT_NE(refusal->message.find(std::to_string(rate) + " baud"), std::string::npos) << refusal->message;
        }
    }
    for (ULONG rate : {600u, 1200u, 2400u, 4800u, 9600u, 19200u, 38400u, 76800u, 115200u})
        EXPECT_FALSE(world::CheckCommSettings(3, {rate})) << rate;
    for (ULONG rate : {300u, 57600u, 230400u})
        EXPECT_TRUE(world::CheckCommSettings(3, {rate})) << rate;
}

TEST(LineSettingsCheck, RefusesFormatsNoConverterSends)
{
    struct Case {
        CommSettings settings;
        NTSTATUS status;
        const char *says;
    };
    const Case cases[] = {
        {{9600, 5}, STATUS_NOT_SUPPORTED, "5 data bits"},
        {{9600, 6}, STATUS_NOT_SUPPORTED, "6 data bits"},
        {{9600, 9}, STATUS_INVALID_PARAMETER, "9 data bits"},
        {{9600, 8, CommParity::Mark}, STATUS_NOT_SUPPORTED, "mark parity"},
        {{9600, 8, CommParity::Space}, STATUS_NOT_SUPPORTED, "space parity"},
        {{9600, 8, CommParity(7)}, STATUS_INVALID_PARAMETER, "parity code 7"},
        {{9600, 8, CommParity::None, CommStopBits::OneAndHalf}, STATUS_NOT_SUPPORTED, "1.5 stop bits"},
    };
    for (ULONG variant : {1u, 2u, 3u}) {
        for (const Case &c : cases) {
            auto refusal = world::CheckCommSettings(variant, c.settings);
            ASSERT_TRUE(refusal) << c.says;
            EXPECT_EQ(refusal->status, c.status) << c.says;
            EXPECT_NE(refusal->message.find(c.says), std::string::npos) << refusal->message;
        }
        EXPECT_FALSE(world::CheckCommSettings(variant, {9600, 7, CommParity::Odd, CommStopBits::Two, true}));
    }
}

TEST(LineSettingsCheck, VariantZeroAndUnknownVariantsTakeNoSettings)
{
    for (ULONG variant : {0u, 4u, 0xFFFFFFFFu}) {
        auto refusal = world::CheckCommSettings(variant, {9600});
        ASSERT_TRUE(refusal) << variant;
        EXPECT_EQ(refusal->status, STATUS_NOT_SUPPORTED);
        EXPECT_NE(refusal->message.find("variant " + std::to_string(variant)), std::string::npos) << refusal->message;
    }
}
