// The checker: every failure of the reader placed at its field with its code,
// and the silent losses of files that read.
#include "audit.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>
#include <set>

#include "audit_codes.h"
#include "audit_layout.h"
#include "test_bytes.h"
#include "text.h"
#include "vorn_data_file.h"

namespace vorn {
namespace {

using test::Bytes;

constexpr ByteOrder kOrders[] = {ByteOrder::Big, ByteOrder::Little};

struct Parameter {
    std::string name;
    std::variant<std::string, std::int32_t, double> value;
};

struct FileShape {
    ByteOrder order = ByteOrder::Big;
    bool two_d = false;
    unsigned width = 8;
    std::uint32_t x = 4;
    std::uint32_t y = 0;
    unsigned sections = 2;
    std::vector<Parameter> params = {{"scans", 16}, {"solvent", std::string("CDCl3")}};
};

constexpr std::size_t kParamStart = kHeaderSize;

std::size_t data_start(const FileShape& s) { return kParamStart + 16 + 64 * s.params.size(); }

std::uint64_t samples_of(const FileShape& s) { return s.two_d ? std::uint64_t{s.x / 32 * 32} * (s.y / 32 * 32) : s.x; }

// A whole file: header, parameter block right after it, then the samples
// (value i of section k is k * 1000 + i; their order does not matter here).
Bytes make_file(const FileShape& s)
{
    Bytes b = test::valid_header();
    test::put_u8(b, test::hdr::endian, s.order == ByteOrder::Little ? 1 : 0);
    test::put_u8(b, 12, s.two_d ? 2 : 1);
    test::put_u8(b, test::hdr::data_type_byte,
                 static_cast<std::uint8_t>((s.width == 4 ? 0x40 : 0x00) | (s.two_d ? 2 : 1)));
    test::put_u8(b, test::hdr::axis_type, 3);  // Complex
    if (s.sections == 4) test::put_u8(b, test::hdr::axis_type + 1, 3);
    test::put_u32(b, test::hdr::data_points, s.x);
    test::put_u32(b, test::hdr::data_points + 4, s.y);
    test::put_u8(b, 400, 0x41);  // 2022-11-14, as both dates
    test::put_u8(b, 401, 0x6F);
    test::put_u8(b, 402, 0x0E);
    test::put_u8(b, 404, 0x41);
    test::put_u8(b, 405, 0x6F);
    test::put_u8(b, 406, 0x0E);
    test::put_u32(b, test::hdr::param_start, static_cast<std::uint32_t>(kParamStart));
    test::put_u32(b, test::hdr::data_start, static_cast<std::uint32_t>(data_start(s)));

    const ByteOrder o = s.order;
    test::put_u32(b, kParamStart + 8, static_cast<std::uint32_t>(s.params.size()), o);
    for (std::size_t i = 0; i < s.params.size(); ++i) {
        const std::size_t at = kParamStart + 16 + 64 * i;
        b.resize(std::max(b.size(), at + 64));
        const Parameter& p = s.params[i];
        std::uint32_t kind = 0;
        if (const auto* text = std::get_if<std::string>(&p.value)) {
            test::put_text(b, at + 16, *text);
        } else if (const auto* integer = std::get_if<std::int32_t>(&p.value)) {
            kind = 1;
            test::put_i32(b, at + 16, *integer, o);
        } else {
            kind = 2;
            test::put_f64(b, at + 16, std::get<double>(p.value), o);
        }
        test::put_u32(b, at + 32, kind, o);
        test::put_text(b, at + 36, p.name);
    }
    std::size_t at = data_start(s);
    for (unsigned k = 0; k < s.sections; ++k) {
        for (std::uint64_t i = 0; i < samples_of(s); ++i, at += s.width) {
            const double v = k * 1000.0 + static_cast<double>(i);
            if (s.width == 4) {
                test::put_f32(b, at, static_cast<float>(v), o);
            } else {
                test::put_f64(b, at, v, o);
            }
        }
    }
    b.resize(at);
    return b;
}

Audit check(Bytes b, bool samples = false)
{
    ByteSource src(std::move(b));
    return audit_source(src, AuditOptions{samples});
}

bool reads(const Bytes& b)
{
    try {
        return parse_from_filepath(DataContainer::from_bytes(b)).ok();
    } catch (const std::exception&) {
        return false;
    }
}

std::vector<std::string> codes(const Audit& a)
{
    std::vector<std::string> out;
    for (const Finding& f : a.findings) out.push_back(f.code);
    return out;
}

const Finding& only(const Audit& a, std::string_view code)
{
    static const Finding kNone{};
    for (const Finding& f : a.findings) {
        if (f.code == code) return f;
    }
    ADD_FAILURE() << "no finding " << code;
    return kNone;
}

Bytes patched(Bytes b, std::size_t at, std::uint8_t v)
{
    b.at(at) = v;
    return b;
}

std::vector<FileShape> valid_shapes()
{
    std::vector<FileShape> out;
    for (ByteOrder o : kOrders) {
        for (unsigned w : {4u, 8u}) {
            out.push_back(FileShape{o, false, w, 4, 0, 2});
            out.push_back(FileShape{o, true, w, 64, 32, 2});
            out.push_back(FileShape{o, true, w, 32, 32, 4});
        }
    }
    return out;
}

TEST(Audit, ValidFilesOfEveryLayoutWidthAndOrderAreOk)
{
    for (const FileShape& s : valid_shapes()) {
        for (bool samples : {false, true}) {
            const Audit a = check(make_file(s), samples);
            EXPECT_EQ(a.verdict, "ok") << (s.two_d ? "Two_D" : "One_D") << " " << s.width;
            EXPECT_TRUE(a.findings.empty()) << a.findings.front().code << ": " << a.findings.front().text;
        }
    }
}

TEST(Audit, CodesAreUniqueAndStable)
{
    std::set<std::string_view> seen;
    for (const CodeInfo& c : all_codes()) {
        EXPECT_TRUE(seen.insert(c.id).second) << c.id;
        EXPECT_EQ(c.id.substr(0, 2), "VC");
        EXPECT_EQ(c.severity == Severity::Error, c.id[2] == '0') << c.id;
    }
    // Identifiers are never renumbered: a sample of them pinned.
    EXPECT_EQ(code_info(Code::NotThisKind).id, "VC001");
    EXPECT_EQ(code_info(Code::SamplesCut).id, "VC030");
    EXPECT_EQ(code_info(Code::SpacesRemoved).id, "VC103");
    EXPECT_EQ(code_info(Code::AxisContradicts).id, "VC111");
}

// One damaged byte of a valid file: the finding names the field that holds it.
struct Damage {
    std::size_t at;
    std::uint8_t value;
    const char* code;
    const char* field;
    std::uint64_t offset;
};

TEST(Audit, OneDamagedByteIsReportedAtItsField)
{
    const std::size_t record = kParamStart + 16;
    const Damage cases[] = {
        {0, 0xFF, "VC001", "headers.fileIdentifier", 0},
        {8, 2, "VC001", "headers.endian", 8},
        {14, 0x00, "VC001", "headers.dataFormat", 14},
        {14, 0x03, "VC011", "headers.dataFormat", 14},
        {14, 0x81, "VC031", "headers.dataType", 14},
        {12, 9, "VC014", "headers.dataDimensionNumber", 12},
        {15, 200, "VC012", "headers.dataInstrument", 15},
        {29, 6, "VC012", "headers.dataAxisType[5]", 29},
        {24, 1, "VC032", "headers.dataAxisType", 24},
        {37, 43, "VC012", "headers.dataUnits[2]", 37},
        {60, 0xC0, "VC013", "headers.title", 48},
        {173, 0x40, "VC012", "headers.dataAxisRanged[2]", 173},
        {173, 0x04, "VC012", "headers.dataAxisRanged[3]", 173},
        {900, 0xFF, "VC013", "headers.dataAxisTitles[2]", 872},
        {record + 9, 99, "VC021", "parameters.paramArray[0].unit[1]", record + 9},
        {record + 35, 7, "VC021", "parameters.paramArray[0].valueType", record + 35},
        {record + 40, 0xFF, "VC022", "parameters.paramArray[0].name", record + 36},
        {record + 64 + 17, 0xFF, "VC022", "parameters.paramArray[1].value", record + 64 + 16},
    };
    for (const Damage& d : cases) {
        const Bytes b = patched(make_file(FileShape{}), d.at, d.value);
        ASSERT_FALSE(reads(b)) << d.code;
        for (bool samples : {false, true}) {
            const Audit a = check(b, samples);
            ASSERT_FALSE(a.findings.empty()) << d.code;
            const Finding& f = a.findings.front();
            EXPECT_EQ(f.code, d.code) << d.field << ": " << f.text;
            EXPECT_EQ(f.field, d.field) << d.code;
            EXPECT_EQ(f.offset, d.offset) << d.code;
            EXPECT_EQ(f.severity, "error");
            EXPECT_EQ(a.verdict, std::string(d.code) == "VC001" ? "not this kind" : "damaged");
        }
    }
}

TEST(Audit, EveryCutIsDamagedAtTheFieldItEndsIn)
{
    for (const FileShape& spec : {FileShape{}, FileShape{ByteOrder::Little, true, 4, 32, 32, 2}}) {
        const Bytes whole = make_file(spec);
        for (std::size_t size = 0; size < whole.size(); ++size) {
            const Bytes cut(whole.begin(), whole.begin() + static_cast<std::ptrdiff_t>(size));
            const Audit a = check(cut);
            ASSERT_EQ(a.verdict, "damaged") << size;
            const Finding& f = a.findings.front();
            const char* expected = size < kHeaderSize ? "VC010" : size < data_start(spec) ? "VC020" : "VC030";
            ASSERT_EQ(f.code, expected) << size;
            // The field named is the one the cut runs through (or the first
            // read after bytes that are skipped: at most the 16 of a value).
            ASSERT_TRUE(f.offset.has_value());
            EXPECT_LE(*f.offset, size + 16) << size << " " << f.field;
            EXPECT_EQ(check(cut, true).findings.front().code, expected) << size;
        }
    }
}

TEST(Audit, HeaderFieldsNamedAtACutAreThoseTheReaderFramesFirst)
{
    const Bytes whole = make_file(FileShape{});
    // (cut, field) pairs the reader's frames name: the run of axis titles is
    // read at once, the data points word by word, the skipped bytes fail at
    // the flag after them.
    const std::pair<std::size_t, const char*> cases[] = {
        {0, "headers.fileIdentifier"},  {900, "headers.dataAxisTitles"},   {181, "headers.dataPoints[1]"},
        {1201, "headers.annotationOk"}, {1359, "headers.compoundUnit[1]"}, {33, "headers.dataUnits[0]"},
    };
    for (const auto& [size, field] : cases) {
        const Audit a = check(Bytes(whole.begin(), whole.begin() + static_cast<std::ptrdiff_t>(size)));
        EXPECT_EQ(a.findings.front().field, field) << size;
    }
}

// Random damage to the header, the parameters and the first samples: the
// checker says damaged exactly when the reader fails, never without placing
// the failure, and the same with and without the samples.
TEST(Audit, MutatedFilesAreDamagedExactlyWhenTheReaderFails)
{
    std::mt19937 random(26);
    const Bytes bases[] = {make_file(FileShape{}), make_file(FileShape{ByteOrder::Little, true, 8, 32, 32, 4}),
                           make_file(FileShape{ByteOrder::Big, true, 4, 64, 32, 2})};
    for (int round = 0; round < 3000; ++round) {
        Bytes b = bases[round % 3];
        const int changes = 1 + static_cast<int>(random() % 3);
        for (int c = 0; c < changes; ++c) {
            const std::size_t at = random() % std::min<std::size_t>(b.size(), kHeaderSize + 200);
            b[at] = static_cast<std::uint8_t>(random());
        }
        if (random() % 5 == 0) b.resize(random() % b.size());
        const bool ok = reads(b);
        const Audit dry = check(b, false);
        const Audit full = check(b, true);
        const bool damaged = dry.verdict == "damaged" || dry.verdict == "not this kind";
        ASSERT_EQ(!ok, damaged) << round << " " << (dry.findings.empty() ? "" : dry.findings.front().text);
        ASSERT_EQ(dry.verdict, full.verdict) << round;
        if (!damaged) continue;
        EXPECT_NE(dry.findings.front().code, "VC099") << round << " " << dry.findings.front().text;
        EXPECT_EQ(dry.findings.front().code, full.findings.front().code) << round;
        EXPECT_EQ(dry.findings.front().offset, full.findings.front().offset) << round;
    }
}

TEST(Audit, TwoDPointsBeyondWholeBlocksAndEmptySections)
{
    FileShape s{ByteOrder::Big, true, 8, 40, 40, 2};
    Audit a = check(make_file(s));
    EXPECT_EQ(a.verdict, "warnings");
    EXPECT_EQ(codes(a), std::vector<std::string>{"VC101"});
    EXPECT_EQ(only(a, "VC101").text,
              "40 x 40 points declared, 32 x 32 read (whole 32 x 32 blocks): 576 points a section not read");
    EXPECT_EQ(only(a, "VC101").offset, 176u);

    s.x = 16;
    s.y = 64;
    a = check(make_file(s));
    EXPECT_EQ(codes(a), (std::vector<std::string>{"VC101", "VC104"}));

    FileShape one_d;
    one_d.x = 0;
    EXPECT_EQ(codes(check(make_file(one_d))), std::vector<std::string>{"VC104"});
}

TEST(Audit, OneDWithFourSectionsDropsTwo)
{
    for (const unsigned width : {4u, 8u}) {
        const FileShape s{ByteOrder::Little, false, width, 5, 0, 4};
        const Audit a = check(make_file(s), true);
        ASSERT_EQ(codes(a), std::vector<std::string>{"VC102"});
        EXPECT_EQ(only(a, "VC102").offset, data_start(s) + 2 * 5 * width);
    }
}

TEST(Audit, TextsThatLoseSpaces)
{
    FileShape s;
    s.params.push_back({"my param", std::string("a b  c")});
    Bytes b = make_file(s);
    test::put_text(b, 48, "My Sample   ");                   // trailing spaces are padding, not a loss
    test::put_text(b, 552, std::string_view("AB \0\0", 5));  // a space before the padding
    const Audit a = check(b);
    ASSERT_EQ(codes(a), (std::vector<std::string>{"VC103", "VC103", "VC103"}));
    EXPECT_EQ(a.findings[0].field, "headers.title");
    EXPECT_EQ(a.findings[0].offset, 48u);
    EXPECT_EQ(a.findings[0].text, "headers.title 'My Sample' is read as 'MySample' (1 space removed)");
    EXPECT_EQ(a.findings[1].field, "parameters.paramArray[2].value");
    EXPECT_EQ(a.findings[1].text, "parameters.paramArray[2].value 'a b  c' is read as 'abc' (3 spaces removed)");
    EXPECT_EQ(a.findings[2].field, "parameters.paramArray[2].name");
    EXPECT_EQ(a.findings[2].offset, kParamStart + 16 + 2 * 64 + 36);
}

TEST(Audit, LongTextsAreQuotedCutBetweenCharacters)
{
    Bytes b = make_file(FileShape{});
    std::string text = "ab";                             // so that 48 bytes end inside a character
    while (text.size() + 3 <= 124) text += "\xC3\xA9 ";  // "é " over the whole title
    test::put_text(b, 48, text);
    const Audit a = check(b);
    ASSERT_EQ(codes(a), std::vector<std::string>{"VC103"});
    EXPECT_TRUE(is_valid_utf8(a.findings[0].text)) << a.findings[0].text;
    EXPECT_NE(a.findings[0].text.find("...' is read as"), std::string::npos);
}

TEST(Audit, EveryHeaderTextFieldIsWhereTheReaderReadsIt)
{
    for (const TextField& f : header_text_fields()) {
        Bytes b = make_file(FileShape{});
        std::string text = "x y";
        text.resize(f.width, '\0');
        test::put_text(b, static_cast<std::size_t>(f.offset), text);
        const Audit a = check(b);
        ASSERT_EQ(codes(a), std::vector<std::string>{"VC103"}) << f.field;
        EXPECT_EQ(a.findings[0].field, f.field);
        // The reader keeps the text without its space at that field.
        const auto parsed = parse_from_filepath(DataContainer::from_bytes(b));
        ASSERT_TRUE(parsed.ok());
        const Headers& h = parsed->headers;
        const std::vector<std::string> texts = {h.file_identifier, h.title, h.node_name, h.site, h.author, h.comment};
        bool found = std::find(texts.begin(), texts.end(), "xy") != texts.end();
        found =
            found || std::find(h.data_axis_titles.begin(), h.data_axis_titles.end(), "xy") != h.data_axis_titles.end();
        EXPECT_TRUE(found) << f.field;
    }
}

TEST(Audit, InvalidDatesDuplicatesAndTrailingBytes)
{
    FileShape s;
    s.params.push_back({"SCANS", 8});
    Bytes b = make_file(s);
    test::put_u8(b, 402, 31);  // 2022-11-31
    test::put_u8(b, 404, 0);   // revision: 1990-00-00
    test::put_u8(b, 405, 0);
    test::put_u8(b, 406, 0);
    b.push_back(0);
    b.push_back(0);
    const Audit a = check(b);
    ASSERT_EQ(codes(a), (std::vector<std::string>{"VC105", "VC105", "VC108", "VC107"}));
    EXPECT_EQ(a.findings[0].text, "headers.creationTime holds 2022-11-31, not a date");
    EXPECT_EQ(a.findings[1].text, "headers.revisionTime holds 1990-00-00, not a date");
    EXPECT_EQ(a.findings[2].field, "parameters.paramArray[2].name");
    EXPECT_EQ(a.findings[3].offset, b.size() - 2);
    EXPECT_EQ(a.findings[3].text,
              "2 bytes after offset " + std::to_string(b.size() - 2) + ", the end of everything read");
}

TEST(Audit, NonFiniteSamplesAreCountedOnlyWhenAsked)
{
    for (ByteOrder o : kOrders) {
        FileShape s{o, true, 4, 64, 32, 2};
        Bytes b = make_file(s);
        // Section 1 (im) of a two-section Two_D file: sample (row 3, column 40)
        // lies in block 1 of the row of blocks, row 3, column 8 of it.
        const std::size_t section = 64 * 32 * 4;
        const std::size_t at = data_start(s) + section + (1 * 1024 + 3 * 32 + 8) * 4;
        test::put_f32(b, at, std::numeric_limits<float>::quiet_NaN(), o);
        test::put_f32(b, at + 4, std::numeric_limits<float>::infinity(), o);
        EXPECT_EQ(check(b).verdict, "ok");
        const Audit a = check(b, true);
        ASSERT_EQ(codes(a), std::vector<std::string>{"VC106"});
        EXPECT_EQ(a.findings[0].field, "data.im");
        EXPECT_EQ(a.findings[0].offset, at);
        EXPECT_EQ(a.findings[0].text, "1 NaN and 1 infinite samples in data.im; the first at row 3, column 40");
    }
}

std::vector<Parameter> filter_params(std::string orders, std::string factors, double sweep)
{
    return {{"orders", orders}, {"factors", factors}, {"x_sweep", sweep}, {"x_acq_time", 0.5}, {"x_points", 5}};
}

TEST(Audit, DigitalFilterMalformedAbsentOrNotFinite)
{
    FileShape s;
    s.params = filter_params("21210", "84", 2.0);
    EXPECT_EQ(check(make_file(s)).verdict, "ok");

    s.params = filter_params("21210", "8x", 2.0);
    Audit a = check(make_file(s));
    ASSERT_EQ(codes(a), std::vector<std::string>{"VC023"});
    EXPECT_EQ(a.findings[0].field, "parameters.paramArray[1].value");

    s.params = filter_params("x1210", "84", 2.0);
    a = check(make_file(s));
    ASSERT_EQ(codes(a), std::vector<std::string>{"VC023"});
    EXPECT_EQ(a.findings[0].field, "parameters.paramArray[0].value");
    EXPECT_EQ(a.findings[0].offset, kParamStart + 16 + 16);

    s.params = filter_params("21210", "84", 0.0);
    a = check(make_file(s));
    EXPECT_EQ(codes(a), std::vector<std::string>{"VC110"});

    s.params = filter_params("21210", "84", 2.0);
    s.params.pop_back();
    a = check(make_file(s));
    ASSERT_EQ(codes(a), std::vector<std::string>{"VC109"});
    EXPECT_EQ(a.findings[0].text, "the digital-filter figure cannot be computed: x_points is missing");
}

TEST(Audit, AxisRangesAgainstSpectralWidthAndOffset)
{
    // 1024 points of a time axis at 8000 Hz span 1023 / 8000 s.
    FileShape s;
    s.x = 1024;
    s.params = {{"x_sweep", 8000.0}};
    Bytes b = make_file(s);
    test::put_u8(b, 33, 28);  // x unit: Second
    test::put_f64(b, 272, 0.0);
    test::put_f64(b, 336, 1023.0 / 8000.0);
    // A sweep parameter has a unit: give it Hertz (record unit 0 base 13).
    const std::size_t unit = kParamStart + 16 + 7;
    test::put_u8(b, unit, 13);
    EXPECT_TRUE(check(b).findings.empty()) << check(b).findings.front().text;
    test::put_f64(b, 336, 0.5);
    Audit a = check(b);
    ASSERT_EQ(codes(a), std::vector<std::string>{"VC111"});
    EXPECT_EQ(a.findings[0].field, "headers.dataAxisStart[0]");

    // A ppm axis: 4000 Hz at 400 MHz is 10 ppm wide, centred on the offset 5 ppm.
    s.params = {{"x_sweep", 4000.0}, {"x_freq", 400.0}, {"x_offset", 5.0}};
    b = make_file(s);
    test::put_u8(b, 33, 26);                           // Ppm
    test::put_u8(b, kParamStart + 16 + 7, 13);         // Hertz
    test::put_u8(b, kParamStart + 16 + 64 + 6, 0xE0);  // Mega
    test::put_u8(b, kParamStart + 16 + 64 + 7, 13);    // Hertz
    test::put_u8(b, kParamStart + 16 + 128 + 7, 26);   // Ppm
    test::put_f64(b, 272, 10.0);
    test::put_f64(b, 336, 0.0);
    EXPECT_TRUE(check(b).findings.empty()) << check(b).findings.front().text;
    test::put_f64(b, 272, 20.0);
    test::put_f64(b, 336, 10.0);
    a = check(b);
    ASSERT_EQ(codes(a), std::vector<std::string>{"VC111"});
    EXPECT_EQ(a.findings[0].text, "x axis is centred on 15 ppm; the offset is 5 ppm");
}

TEST(Audit, UnopenablePathAndDirectory)
{
    Audit a = audit_container(DataContainer::from_path("/nonexistent/x.vdf"), {});
    EXPECT_EQ(a.verdict, "damaged");
    EXPECT_EQ(codes(a), std::vector<std::string>{"VC002"});
    a = audit_container(DataContainer::from_path("/"), {});
    EXPECT_EQ(codes(a), std::vector<std::string>{"VC002"});
    EXPECT_FALSE(a.findings[0].offset.has_value());
}

}  // namespace
}  // namespace vorn
