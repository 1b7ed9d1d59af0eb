// Byte sources: all-or-nothing reads, both forms alike, open failures.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <fstream>
#include <limits>
#include <thread>
#include <unistd.h>

#include "byte_source.h"
#include "test_bytes.h"

using namespace vorn;
using namespace vorn::test;

TEST(ByteSource, ShortReadsFailWithTheirKindsTextAndDoNotMove)
{
    ByteSource src(Bytes{1, 2, 3});
    auto word = src.read_u32(ByteOrder::Big);
    ASSERT_FALSE(word);
    EXPECT_EQ(word.error().root_cause(), "failed to fill whole buffer");
    auto run = src.read_bytes(4);
    ASSERT_FALSE(run);
    EXPECT_EQ(run.error().root_cause(), "not enough bytes in reader");
    EXPECT_EQ(src.position(), 0u);
    EXPECT_EQ(*src.read_u16(ByteOrder::Little), 0x0201);
    EXPECT_EQ(src.position(), 2u);
}

TEST(ByteSource, SeekPastTheEndIsAcceptedAndTheNextReadIsShort)
{
    ByteSource src(Bytes(8, 0));
    ASSERT_TRUE(src.seek(4294967295u));
    EXPECT_EQ(src.remaining(), 0u);
    EXPECT_EQ(src.read_u8().error().root_cause(), "failed to fill whole buffer");
}

TEST(ByteSource, SamplesDecodeInBothOrdersAndWidenExactly)
{
    for (ByteOrder order : {ByteOrder::Big, ByteOrder::Little}) {
        Bytes b;
        const float values[] = {1.5f, -0.0f, std::numeric_limits<float>::denorm_min(),
                                std::numeric_limits<float>::quiet_NaN(), -std::numeric_limits<float>::infinity()};
        for (std::size_t i = 0; i < 5; ++i) put_f32(b, 4 * i, values[i], order);
        ByteSource src(b);
        double out[5];
        ASSERT_TRUE(src.read_samples(SampleWidth::Four, order, 5, out));
        EXPECT_EQ(out[0], 1.5);
        EXPECT_TRUE(std::signbit(out[1]) && out[1] == 0.0);
        EXPECT_EQ(out[2], static_cast<double>(std::numeric_limits<float>::denorm_min()));
        EXPECT_TRUE(std::isnan(out[3]));
        EXPECT_EQ(out[4], -std::numeric_limits<double>::infinity());
        EXPECT_EQ(src.position(), 20u);

        Bytes d;
        put_f64(d, 0, -2.25, order);
        put_f64(d, 8, 1e-310, order);
        ByteSource dsrc(d);
        ASSERT_TRUE(dsrc.read_samples(SampleWidth::Eight, order, 2, out));
        EXPECT_EQ(out[0], -2.25);
        EXPECT_EQ(out[1], 1e-310);
    }
}

TEST(ByteSource, HugeSampleCountIsAShortReadWithoutOverflow)
{
    ByteSource src(Bytes(64, 0));
    double out[1];
    auto r = src.read_samples(SampleWidth::Eight, ByteOrder::Big, std::numeric_limits<std::size_t>::max(), out);
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error().root_cause(), "failed to fill whole buffer");
}

TEST(ByteSource, NoSamplesAtAPositionPastTheEndReadNothing)
{
    // A data_start far beyond the end with 0 points: nothing is decoded, and no
    // pointer is formed outside the bytes (none at all into an empty source).
    for (const Bytes& bytes : {Bytes{}, Bytes(8, 0)}) {
        ByteSource src(bytes);
        ASSERT_TRUE(src.seek(4294967295u));
        EXPECT_TRUE(src.read_samples(SampleWidth::Eight, ByteOrder::Big, 0, nullptr));
        EXPECT_EQ(src.position(), 4294967295u);
    }
}

TEST(DataContainer, PathAndBytesGiveTheSameReads)
{
    const std::string path = ::testing::TempDir() + "vorn_bytes.bin";
    {
        std::ofstream f(path, std::ios::binary);
        f << "ABCDEFGH";
    }
    auto from_file = DataContainer::from_path(path).load_data();
    auto from_memory = DataContainer::from_bytes(Bytes{'A', 'B', 'C', 'D', 'E', 'F', 'G', 'H'}).load_data();
    ASSERT_TRUE(from_file);
    ASSERT_TRUE(from_memory);
    EXPECT_EQ(from_file->size(), 8u);
    EXPECT_EQ(*from_file->read_bytes(8), *from_memory->read_bytes(8));
    std::remove(path.c_str());
}

TEST(DataContainer, SourceOfUnknownSizeIsReadWhole)
{
    // A pipe has no size to read up front: the buffer must grow as it fills.
    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);
    Bytes expected(200000);
    for (std::size_t i = 0; i < expected.size(); ++i) expected[i] = static_cast<std::uint8_t>(i * 7 + i / 256);
    std::thread writer([&] {
        std::size_t done = 0;
        while (done < expected.size()) {
            const ssize_t n = ::write(fds[1], expected.data() + done, expected.size() - done);
            if (n <= 0) break;
            done += static_cast<std::size_t>(n);
        }
        ::close(fds[1]);
    });
    auto src = DataContainer::from_path("/dev/fd/" + std::to_string(fds[0])).load_data();
    writer.join();
    ::close(fds[0]);
    ASSERT_TRUE(src);
    ASSERT_EQ(src->size(), expected.size());
    EXPECT_EQ(*src->read_bytes(expected.size()), expected);
}

TEST(DataContainer, MissingPathAndPathWithNulCannotBeOpened)
{
    EXPECT_FALSE(DataContainer::from_path("/nonexistent/vorn/file").load_data());
    EXPECT_FALSE(DataContainer::from_path(std::string("/tmp\0x", 6)).load_data());
    EXPECT_EQ(OpenError{}.text(), "Error reading the data!");
}

TEST(DataContainer, DirectoryOpensAndFailsAtTheFirstRead)
{
    auto src = DataContainer::from_path("/").load_data();
    ASSERT_TRUE(src);
    auto r = src->read_u8();
    ASSERT_FALSE(r);
    EXPECT_NE(r.error().root_cause().find("Is a directory"), std::string::npos) << r.error().root_cause();
}
