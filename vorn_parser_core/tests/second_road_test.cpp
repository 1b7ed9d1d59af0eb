// The reading of metadata and samples apart (read_metadata, read_data_into a
// sink, range readers), failures as facts and the layout facts of a header.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <sstream>

#include "failure.h"
#include "layout.h"
#include "test_bytes.h"
#include "vorn_data_file.h"

using namespace vorn;
using namespace vorn::test;

namespace {

// A One_D file of two sections of `points` samples each: im = -k, re = k.
Bytes one_d_file(std::uint32_t points, ByteOrder order)
{
    Bytes b = valid_header();
    put_u8(b, hdr::endian, order == ByteOrder::Little ? 1 : 0);
    put_u8(b, hdr::axis_type, 3);  // Complex: two sections
    put_u32(b, hdr::data_points, points);
    put_u32(b, hdr::param_start, 1360);
    put_u32(b, hdr::data_start, 1376);
    put_u32(b, 1360, 0, order);  // parameters_size
    for (std::uint32_t k = 0; k < points; ++k) {
        put_f64(b, 1376 + 8 * k, -static_cast<double>(k), order);
        put_f64(b, 1376 + 8 * (points + k), static_cast<double>(k), order);
    }
    b.resize(1376 + 16 * std::size_t{points});
    return b;
}

// Keeps every section as rows of doubles, checking every slot it hands out.
class CheckedSink final : public SectionSink {
public:
    void begin_section(Section section, std::uint64_t rows, std::uint64_t columns) override
    {
        current_ = static_cast<std::size_t>(section);
        shapes[current_] = {rows, columns};
        cells[current_].assign(static_cast<std::size_t>(rows * columns), 0.0);
    }
    RowSlots row(std::uint64_t r) override
    {
        EXPECT_LT(r, shapes[current_].first);
        return {cells[current_].data() + r * shapes[current_].second, 1};
    }

    std::pair<std::uint64_t, std::uint64_t> shapes[4]{};
    std::vector<double> cells[4];

private:
    std::size_t current_ = 0;
};

// Serves a file through ranges, at most `chunk` bytes a call, as a reader of a
// slow device or a file object may.
class ChunkedReader final : public RangeReader {
public:
    ChunkedReader(Bytes bytes, std::size_t chunk) : bytes_(std::move(bytes)), chunk_(chunk) {}
    IoOutcome read_at(std::uint64_t offset, std::uint8_t* dst, std::size_t n) override
    {
        ++calls;
        if (offset >= bytes_.size()) return IoOutcome{0, 0, false};
        const std::size_t got = std::min({n, chunk_, bytes_.size() - static_cast<std::size_t>(offset)});
        std::copy_n(bytes_.begin() + static_cast<std::ptrdiff_t>(offset), got, dst);
        return IoOutcome{got, 0, false};
    }
    int calls = 0;

private:
    Bytes bytes_;
    std::size_t chunk_;
};

}  // namespace

TEST(SecondRoad, MetadataThenSamplesEqualTheWholeParse)
{
    for (ByteOrder order : {ByteOrder::Big, ByteOrder::Little}) {
        const Bytes file = one_d_file(5, order);
        auto whole = parse_from_filepath(DataContainer::from_bytes(file));
        ASSERT_TRUE(whole);
        ByteSource src = ByteSource::borrowing(file);
        auto meta = read_metadata(src);
        ASSERT_TRUE(meta);
        EXPECT_EQ(meta->headers, whole->headers);
        CheckedSink sink;
        ASSERT_TRUE(read_data_into(src, meta->headers, sink));
        const auto& im = std::get<Matrix>(whole->data.im);
        const auto& re = std::get<Matrix>(whole->data.re);
        EXPECT_EQ(sink.cells[static_cast<int>(Section::Im)], im.front());
        EXPECT_EQ(sink.cells[static_cast<int>(Section::Re)], re.front());
    }
}

// A range reader may only come back short at the file's end; one that stops
// short anywhere ends the read as a cut file does, never with wrong samples.
TEST(SecondRoad, ShortRangeReadsGiveTheSamplesOrACutFileFailure)
{
    const Bytes file = one_d_file(300, ByteOrder::Big);
    for (std::size_t chunk : {std::size_t{1}, std::size_t{7}, std::size_t{1 << 20}}) {
        auto reader = std::make_unique<ChunkedReader>(file, chunk);
        ByteSource src = ByteSource::ranges(std::move(reader), file.size());
        auto meta = read_metadata(src);
        CheckedSink sink;
        if (!meta) {
            EXPECT_TRUE(meta.error().is_short_read()) << chunk;
            continue;
        }
        auto status = read_data_into(src, meta->headers, sink);
        if (!status) {
            EXPECT_TRUE(status.error().is_short_read()) << chunk;
            continue;
        }
        EXPECT_EQ(sink.cells[static_cast<int>(Section::Re)][299], 299.0);
        EXPECT_EQ(sink.cells[static_cast<int>(Section::Im)][7], -7.0);
    }
    // A reader that keeps to its contract reads everything.
    ByteSource whole = ByteSource::ranges(std::make_unique<ChunkedReader>(file, file.size()), file.size());
    ASSERT_TRUE(read_metadata(whole));
}

TEST(SecondRoad, CutSamplesFailWithTheParseFramesBeforeTheSinkSeesThem)
{
    const Bytes file = one_d_file(8, ByteOrder::Big);
    const Bytes cut(file.begin(), file.end() - 8);
    ByteSource src = ByteSource::borrowing(cut);
    auto meta = read_metadata(src);
    ASSERT_TRUE(meta);
    CheckedSink sink;
    auto status = read_data_into(src, meta->headers, sink);
    ASSERT_FALSE(status);
    const auto whole = parse_from_filepath(DataContainer::from_bytes(cut));
    const auto& parsed = std::get<ReadError>(whole.error());
    EXPECT_EQ(status.error().root_cause(), parsed.root_cause());
    EXPECT_EQ(frame_messages(status.error()), frame_messages(parsed));
    EXPECT_EQ(sink.shapes[static_cast<int>(Section::Re)].first, 0u);  // the re section never began
    auto cut_facts = cut_short(describe_layout(meta->headers), src);
    ASSERT_TRUE(cut_facts);
    EXPECT_TRUE(*cut_facts);
}

TEST(SecondRoad, ZeroSamplesPastTheEndReadNothing)
{
    Bytes file = one_d_file(0, ByteOrder::Big);
    put_u32(file, hdr::data_start, 1u << 30);
    ByteSource src = ByteSource::borrowing(file);
    auto meta = read_metadata(src);
    ASSERT_TRUE(meta);
    CheckedSink sink;
    ASSERT_TRUE(read_data_into(src, meta->headers, sink));
    EXPECT_EQ(sink.shapes[static_cast<int>(Section::Re)], std::make_pair(std::uint64_t{1}, std::uint64_t{0}));
    auto cut = cut_short(describe_layout(meta->headers), src);
    ASSERT_TRUE(cut);
    EXPECT_FALSE(*cut);
    auto whole = parse_from_filepath(DataContainer::from_bytes(file));
    ASSERT_TRUE(whole);
    EXPECT_EQ(std::get<Matrix>(whole->data.re), Matrix{Row{}});
}

TEST(SecondRoad, DocumentWritesTheFilterLinesToTheStreamGiven)
{
    const Bytes file = one_d_file(2, ByteOrder::Big);
    ByteSource src = ByteSource::borrowing(file);
    std::ostringstream lines;
    auto document = read_document(src, &lines);
    ASSERT_TRUE(document);
    EXPECT_EQ(lines.str(), "");  // no digital-filter parameters: no lines
    EXPECT_EQ(document->headers, parse_from_filepath(DataContainer::from_bytes(file))->headers);
}

TEST(Layout, TwoDKeepsWholeBlocksAndNamesItsSections)
{
    Headers h;
    h.data_format = "Two_D";
    h.data_type = "32Bit Float";
    h.data_axis_type = {"Complex", "Complex"};
    h.data_points = {40, 70, 1, 1, 1, 1, 1, 1};
    h.data_start = 100;
    const Layout l = describe_layout(h);
    EXPECT_TRUE(l.two_d);
    EXPECT_EQ(l.section_count, 4u);
    EXPECT_EQ(l.sections, (std::vector<std::string>{"re", "re_im", "im", "im_re"}));
    EXPECT_EQ(l.header_points, (std::vector<std::uint32_t>{40, 70}));
    EXPECT_EQ(l.kept_points, (std::vector<std::uint32_t>{32, 64}));
    EXPECT_EQ(l.shape, (std::vector<std::uint64_t>{64, 32}));
    EXPECT_EQ(l.data_end, std::optional<std::uint64_t>(100 + 4u * 64 * 32 * 4));

    h.data_points = {40, 20, 1, 1, 1, 1, 1, 1};  // no whole block of rows: no columns either
    EXPECT_EQ(describe_layout(h).shape, (std::vector<std::uint64_t>{0, 0}));
    h.data_type = "Reserved";
    EXPECT_FALSE(describe_layout(h).data_end);
}

TEST(Layout, HugeCountsSaturateInsteadOfWrapping)
{
    Headers h;
    h.data_format = "Two_D";
    h.data_type = "64Bit Float";
    h.data_axis_type = {"Complex", "Complex", "Complex", "Complex", "Complex", "Complex", "Complex", "Complex"};
    h.data_points = {0xFFFFFFFFu, 0xFFFFFFFFu, 1, 1, 1, 1, 1, 1};
    h.data_start = 0xFFFFFFFFu;
    EXPECT_EQ(describe_layout(h).data_end, std::optional<std::uint64_t>(UINT64_MAX));
}

TEST(FailureFacts, ReadErrorsGiveKindFramesBlockAndPosition)
{
    const Bytes file = one_d_file(4, ByteOrder::Big);
    const Bytes cut(file.begin(), file.begin() + 1384);
    auto r = parse_from_filepath(DataContainer::from_bytes(cut));
    ASSERT_FALSE(r);
    const FailureFacts f = describe_failure(r.error());
    EXPECT_EQ(f.kind, FailureKind::Damaged);
    EXPECT_EQ(f.block, "data");
    EXPECT_FALSE(f.frames.empty());
    EXPECT_EQ(f.reason, "failed to fill whole buffer");
    EXPECT_EQ(f.details, "An error value was found where a successful result was required: " + render(r.error()));

    const FailureFacts checked = describe_failure(ParseError(ReadError::assertion("value out of range", 0x2a)));
    EXPECT_EQ(checked.kind, FailureKind::Damaged);
    EXPECT_EQ(checked.position, std::optional<std::uint64_t>(0x2a));
    EXPECT_EQ(describe_failure(ParseError(OpenError{})).kind, FailureKind::Io);
    EXPECT_EQ(describe_failure(ParseError(ReadError::io("Input/output error"))).kind, FailureKind::Io);
    EXPECT_EQ(describe_failure(ParseError(Interrupted{})).kind, FailureKind::Interrupted);
}

TEST(FailureFacts, NotThisKindOnlyWhenTheIdentifyingFieldsFail)
{
    Bytes text(200, 'a');
    try {
        (void)parse_from_filepath(DataContainer::from_bytes(text));
        FAIL() << "text parsed";
    } catch (const InternalFailure& failure) {
        EXPECT_EQ(describe_failure(failure, text).kind, FailureKind::NotThisKind);
        EXPECT_EQ(kind_name(describe_failure(failure, text).kind), "not-this-kind");
    }
    // A check failing later in the file: the identifying fields decode.
    const InternalFailure later("digital filter \"orders\" is empty", SourceLoc::current());
    EXPECT_EQ(describe_failure(later, one_d_file(1, ByteOrder::Big)).kind, FailureKind::Damaged);
    EXPECT_FALSE(identifying_fields_failure(one_d_file(1, ByteOrder::Big)));
}
