// Byte sources: all-or-nothing reads, both forms alike, open failures.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <fstream>
#include <limits>
#include <pthread.h>
#include <sys/stat.h>
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

namespace {

// A pipe whose write end the test holds; the bytes written are all the
// reader can get until the write end closes.
struct Pipe {
    int read_end = -1;
    int write_end = -1;
    Pipe() { EXPECT_EQ(::pipe(&read_end), 0); }
    ~Pipe()
    {
        if (read_end >= 0) ::close(read_end);
        if (write_end >= 0) ::close(write_end);
    }
    std::string path() const { return "/dev/fd/" + std::to_string(read_end); }
    void write(const Bytes& bytes) const
    {
        ASSERT_EQ(::write(write_end, bytes.data(), bytes.size()), ssize_t(bytes.size()));
    }
};

Bytes pattern(std::size_t n)
{
    Bytes b(n);
    for (std::size_t i = 0; i < n; ++i) b[i] = static_cast<std::uint8_t>(i * 7 + i / 256);
    return b;
}

std::string temp_file(const std::string& name, const Bytes& content)
{
    const std::string path = ::testing::TempDir() + name;
    std::ofstream f(path, std::ios::binary);
    f.write(reinterpret_cast<const char*>(content.data()), static_cast<std::streamsize>(content.size()));
    return path;
}

}  // namespace

TEST(StreamSource, ReadsOnlyWhatIsAskedAndNeverWaitsForTheEnd)
{
    // The write end stays open: a reader that waited for the end would hang.
    Pipe pipe;
    const Bytes content = pattern(100);
    pipe.write(content);
    auto src = DataContainer::from_path(pipe.path()).load_data();
    ASSERT_TRUE(src);
    EXPECT_EQ(*src->read_bytes(60), Bytes(content.begin(), content.begin() + 60));
    // Backwards seeks are served from what was read.
    ASSERT_TRUE(src->seek(10));
    EXPECT_EQ(*src->read_u8(), content[10]);
    ASSERT_TRUE(src->seek(90));
    EXPECT_EQ(*src->read_bytes(10), Bytes(content.begin() + 90, content.end()));
}

TEST(StreamSource, LongStreamIsReadWholeWhenAskedAndShortReadsKeepThePosition)
{
    // More than a pipe holds: the writer must be drained as the reader asks.
    Pipe pipe;
    const Bytes expected = pattern(200000);
    std::thread writer([&] {
        std::size_t done = 0;
        while (done < expected.size()) {
            const ssize_t n = ::write(pipe.write_end, expected.data() + done, expected.size() - done);
            if (n <= 0) break;
            done += static_cast<std::size_t>(n);
        }
        ::close(pipe.write_end);
        pipe.write_end = -1;
    });
    auto src = DataContainer::from_path(pipe.path()).load_data();
    ASSERT_TRUE(src);
    auto all = src->read_bytes(expected.size());
    writer.join();
    ASSERT_TRUE(all);
    EXPECT_EQ(*all, expected);
    EXPECT_EQ(src->read_u8().error().root_cause(), "failed to fill whole buffer");
    EXPECT_EQ(src->position(), expected.size());
    EXPECT_EQ(src->size(), expected.size());
}

TEST(StreamSource, SamplesAndAllowancesReadForwardAsFarAsTheyNeed)
{
    Pipe pipe;
    Bytes b;
    for (std::size_t i = 0; i < 4; ++i) put_f64(b, 8 * i, 0.5 * double(i), ByteOrder::Little);
    pipe.write(b);
    auto src = DataContainer::from_path(pipe.path()).load_data();
    ASSERT_TRUE(src);
    EXPECT_TRUE(*src->holds_at_least(32));
    double out[4];
    ASSERT_TRUE(src->read_samples(SampleWidth::Eight, ByteOrder::Little, 4, out));
    EXPECT_EQ(out[3], 1.5);
    ::close(pipe.write_end);
    pipe.write_end = -1;
    // Once the stream has ended, asking for more is a plain no.
    EXPECT_FALSE(*src->can_read(1));
    EXPECT_FALSE(*src->holds_at_least(33));
}

namespace {

void on_signal(int) {}

bool stop_reading() noexcept { return true; }

}  // namespace

TEST(StreamSource, InterruptedReadEndsWhenTheCheckSaysSo)
{
    // A handler installed without SA_RESTART makes the blocked read return
    // EINTR; the check then ends it.
    struct sigaction action{};
    struct sigaction previous{};
    action.sa_handler = on_signal;
    sigemptyset(&action.sa_mask);
    ASSERT_EQ(::sigaction(SIGUSR1, &action, &previous), 0);
    Pipe pipe;
    auto src = DataContainer::from_path(pipe.path(), stop_reading).load_data();
    ASSERT_TRUE(src);
    const pthread_t reader = ::pthread_self();
    std::atomic<bool> done{false};
    std::thread poker([&] {
        while (!done) {
            ::pthread_kill(reader, SIGUSR1);
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
    });
    auto r = src->read_u32(ByteOrder::Big);
    done = true;
    poker.join();
    ::sigaction(SIGUSR1, &previous, nullptr);
    ASSERT_FALSE(r);
    EXPECT_TRUE(r.error().is_interrupted());
    EXPECT_EQ(src->position(), 0u);
}

TEST(FileSource, ReadsByRangesAcrossWindowsLikeMemory)
{
    // Larger than one window, with runs and numbers straddling window ends.
    const Bytes content = pattern(300000);
    const std::string path = temp_file("vorn_ranges.bin", content);
    auto file = DataContainer::from_path(path).load_data();
    ByteSource memory(content);
    ASSERT_TRUE(file);
    EXPECT_EQ(file->size(), content.size());
    for (std::uint64_t at : {0ul, 65534ul, 131071ul, 5ul, 299996ul, 299997ul, 400000ul}) {
        ASSERT_TRUE(file->seek(at));
        ASSERT_TRUE(memory.seek(at));
        auto a = file->read_u32(ByteOrder::Little);
        auto b = memory.read_u32(ByteOrder::Little);
        ASSERT_EQ(a.ok(), b.ok()) << at;
        if (a.ok()) {
            EXPECT_EQ(*a, *b) << at;
        }
    }
    std::vector<double> from_file(37499), from_memory(37499);
    for (ByteOrder order : {ByteOrder::Big, ByteOrder::Little}) {
        ASSERT_TRUE(file->seek(3));
        ASSERT_TRUE(memory.seek(3));
        ASSERT_TRUE(file->read_samples(SampleWidth::Eight, order, from_file.size(), from_file.data()));
        ASSERT_TRUE(memory.read_samples(SampleWidth::Eight, order, from_memory.size(), from_memory.data()));
        EXPECT_EQ(0, std::memcmp(from_file.data(), from_memory.data(), from_file.size() * sizeof(double)));
        EXPECT_EQ(file->position(), memory.position());
    }
    // A run one sample too long reads nothing.
    ASSERT_TRUE(file->seek(299992));
    EXPECT_EQ(file->read_samples(SampleWidth::Four, ByteOrder::Big, 3, from_file.data()).error().root_cause(),
              "failed to fill whole buffer");
    EXPECT_EQ(file->position(), 299992u);
    std::remove(path.c_str());
}

TEST(FileSource, FileThatShrinksAfterOpenGivesAShortReadNotGarbage)
{
    const std::string path = temp_file("vorn_shrinks.bin", pattern(200000));
    auto file = DataContainer::from_path(path).load_data();
    ASSERT_TRUE(file);
    ASSERT_EQ(::truncate(path.c_str(), 1000), 0);
    ASSERT_TRUE(file->seek(150000));
    EXPECT_EQ(file->read_u16(ByteOrder::Big).error().root_cause(), "failed to fill whole buffer");
    double out[1000];
    ASSERT_TRUE(file->seek(0));
    EXPECT_FALSE(file->read_samples(SampleWidth::Eight, ByteOrder::Big, 1000, out));
    EXPECT_EQ(file->position(), 0u);
    std::remove(path.c_str());
}

TEST(FileSource, GrowthAfterOpenIsNotRead)
{
    const std::string path = temp_file("vorn_grows.bin", pattern(16));
    auto file = DataContainer::from_path(path).load_data();
    ASSERT_TRUE(file);
    {
        std::ofstream more(path, std::ios::binary | std::ios::app);
        more << "more bytes";
    }
    EXPECT_EQ(file->size(), 16u);
    ASSERT_TRUE(file->seek(12));
    EXPECT_EQ(file->read_f64(ByteOrder::Big).error().root_cause(), "failed to fill whole buffer");
    std::remove(path.c_str());
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

namespace {

int window_checks = 0;
int stop_after = 0;  // the check says stop on this call (0: never)

bool counting_check() noexcept
{
    ++window_checks;
    return window_checks == stop_after;
}

}  // namespace

TEST(ByteSource, WindowCheckIsConsultedAboutEveryMebibyteAndCanEndTheRun)
{
    // 4 MiB of 64-bit samples in memory, decoded in one call and in many small ones.
    const std::size_t count = std::size_t{512} * 1024;
    std::vector<double> out(count);
    for (bool small_calls : {false, true}) {
        ByteSource src(Bytes(count * 8, 0));
        src.set_window_check(counting_check);
        window_checks = 0;
        stop_after = 0;
        if (small_calls) {
            for (std::size_t i = 0; i < count; i += 1024) {
                ASSERT_TRUE(src.read_samples(SampleWidth::Eight, ByteOrder::Big, 1024, out.data() + i));
            }
        } else {
            ASSERT_TRUE(src.read_samples(SampleWidth::Eight, ByteOrder::Big, count, out.data()));
        }
        // Consulted between runs of about 1 MiB: three times in 4 MiB, also across calls.
        EXPECT_EQ(window_checks, 3) << small_calls;
    }
    ByteSource src(Bytes(count * 8, 0));
    src.set_window_check(counting_check);
    window_checks = 0;
    stop_after = 2;
    auto ended = src.read_samples(SampleWidth::Eight, ByteOrder::Big, count, out.data());
    ASSERT_FALSE(ended);
    EXPECT_TRUE(ended.error().is_interrupted());
    EXPECT_EQ(src.position(), 0u);  // all or nothing, as every read
    EXPECT_EQ(window_checks, 2);
}

TEST(FileSource, IdentityIsTheOpenDescriptorsAndMovesWithEveryWrite)
{
    const std::string path = temp_file("vorn_identity.bin", pattern(4096));
    auto file = DataContainer::from_path(path).load_data();
    ASSERT_TRUE(file);
    const auto opened = file->identity();
    ASSERT_TRUE(opened);
    EXPECT_EQ(opened->size, 4096u);
    EXPECT_EQ(file->identity(), opened);
    // Rewritten in place, the modification time set back: the change time still moves.
    struct stat before{};
    ASSERT_EQ(::stat(path.c_str(), &before), 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    {
        std::fstream f(path, std::ios::binary | std::ios::in | std::ios::out);
        f << "changed";
    }
    const struct timespec times[2] = {before.st_atim, before.st_mtim};
    ASSERT_EQ(::utimensat(AT_FDCWD, path.c_str(), times, 0), 0);
    const auto now = file->identity();
    ASSERT_TRUE(now);
    EXPECT_EQ(now->modified_nanoseconds, opened->modified_nanoseconds);
    EXPECT_NE(now, opened);
    // Memory has no descriptor.
    EXPECT_FALSE(ByteSource(Bytes{1, 2}).identity());
    std::remove(path.c_str());
}
