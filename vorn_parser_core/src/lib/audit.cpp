// The checker's run over one file: the steps of a parse in their order, each
// failure placed at its field, then the losses and oddities of what was read.
#include "audit.h"

#include <algorithm>

#include "audit_checks.h"
#include "audit_data.h"
#include "audit_layout.h"
#include "code_tables.h"
#include "failure.h"
#include "info.h"
#include "internal_failure.h"
#include "parameters.h"
#include "vorn_data_file.h"

namespace vorn {

namespace {

class Auditor {
public:
    Auditor(ByteSource& src, AuditOptions options) : src_(src), options_(options) {}

    Audit run()
    {
        run_steps();
        return finish();
    }

private:
    void add(Fault fault) { faults_.push_back(std::move(fault)); }

    // Each step returns false when the parse would end there.
    void run_steps()
    {
        if (!header_step()) return;
        add_all(header_findings(headers_, raw(0, kHeaderSize)));
        if (!parameter_step()) return;
        add_all(parameter_findings(parameters_, headers_.param_start, raw_parameters()));
        if (!data_step()) return;
        if (!summary_step()) return;
        add_all(summary_findings(headers_, parameters_, info_));
    }

    void add_all(std::vector<Fault> faults)
    {
        for (Fault& f : faults) add(std::move(f));
    }

    // The bytes [at, at + n) as far as the file holds them.
    std::vector<std::uint8_t> raw(std::uint64_t at, std::uint64_t n)
    {
        if (!src_.seek(at)) return {};
        const auto held = src_.can_read(n);
        std::uint64_t have = n;
        if (!held || !*held) have = src_.remaining();
        auto bytes = src_.read_bytes(static_cast<std::size_t>(std::min(have, n)));
        return bytes ? std::move(*bytes) : std::vector<std::uint8_t>{};
    }

    std::vector<std::uint8_t> raw_parameters()
    {
        const std::uint64_t records = parameters_.param_array.size();
        return raw(headers_.param_start, kParamBlockHead + records * kParamRecord);
    }

    // A read error that is no short read and no check of this step: an
    // interruption, an I/O failure, or one the checker cannot place.
    bool other_failure(const ReadError& error)
    {
        const FailureFacts facts = describe_failure(parse_error(error));
        if (facts.kind == FailureKind::Interrupted) {
            interrupted_ = true;
        } else if (facts.kind == FailureKind::Io) {
            add(Fault{Code::CannotRead, std::nullopt, "", "the file cannot be read (" + facts.reason + ")"});
        } else {
            add(Fault{Code::Unplaced, facts.position, "", "the reader stopped at a failure the checker cannot place"});
        }
        return false;
    }

    bool header_step()
    {
        if (!src_.seek(0)) return false;
        try {
            auto read = read_headers(src_);
            if (read) {
                headers_ = std::move(*read);
                return true;
            }
            const ReadError& error = read.error();
            if (error.is_short_read()) {
                const std::uint64_t size = src_.size();
                Place place = header_place_cut_at(size);
                add(Fault{Code::HeaderCut, place.offset, place.field,
                          "the file ends at byte " + std::to_string(size) + ", inside the " +
                              std::to_string(kHeaderSize) + "-byte header"});
                return false;
            }
            // The one check on a value in this block is that of the layout.
            const auto bytes = raw(0, 15);
            if (error.position() && bytes.size() == 15) {
                if (const auto name = DATA_FORMAT().lookup(bytes[14] & 0x3F)) {
                    if (!is(*name, DataFormat::OneD) && !is(*name, DataFormat::TwoD)) {
                        add(Fault{Code::LayoutUnsupported, 14, "headers.dataFormat",
                                  "the layout is " + std::string(*name) + "; only One_D and Two_D can be read"});
                        return false;
                    }
                }
            }
            return other_failure(error);
        } catch (const InternalFailure& failure) {
            // Not a file of this kind when its identifying fields alone fail so,
            // as the core tells every failure.
            const bool foreign = describe_failure(failure, lead_of(src_)).kind == FailureKind::NotThisKind;
            const auto bytes = raw(0, kHeaderSize);
            place_undecodable(first_undecodable_header_field(bytes), Code::HeaderCode, Code::HeaderText, foreign);
            return false;
        }
    }

    bool parameter_step()
    {
        const std::uint64_t start = headers_.param_start;
        if (!src_.seek(start)) return false;
        try {
            auto read = read_parameters(src_, order_of(headers_));
            if (read) {
                parameters_ = std::move(*read);
                return true;
            }
            const ReadError& error = read.error();
            if (!error.is_short_read()) return other_failure(error);
            const std::uint64_t size = src_.size();
            if (size <= start) {
                add(Fault{Code::ParametersCut, start, "parameters",
                          "the parameter block at offset " + std::to_string(start) +
                              " lies past the end of the file (" + std::to_string(size) + " bytes)"});
            } else {
                Place place = parameter_place_cut_at(start, size);
                add(Fault{Code::ParametersCut, place.offset, place.field,
                          "the file ends at byte " + std::to_string(size) + ", inside the parameter block"});
            }
            return false;
        } catch (const InternalFailure&) {
            // The records as far as the file holds them; the header's count
            // may exceed what is there.
            const std::uint64_t size = src_.size();
            const std::uint64_t span = size > start ? size - start : 0;
            const auto bytes = raw(start, span);
            place_undecodable(first_undecodable_parameter(bytes, start, order_of(headers_)), Code::ParameterCode,
                              Code::ParameterText);
            return false;
        }
    }

    void place_undecodable(const std::optional<Undecodable>& bad, Code code, Code text_code, bool foreign = false)
    {
        if (foreign) {
            const Place place = bad ? bad->place : Place{0, "headers"};
            add(Fault{Code::NotThisKind, place.offset, place.field,
                      "not a data file of this kind: " + place.field +
                          (bad && bad->text ? " is not text" : " holds a code that has no name")});
            return;
        }
        if (!bad) {
            add(Fault{Code::Unplaced, std::nullopt, "", "the reader stopped at a failure the checker cannot place"});
            return;
        }
        if (bad->text) {
            add(Fault{text_code, bad->place.offset, bad->place.field, bad->place.field + " is not valid UTF-8 text"});
        } else {
            add(Fault{code, bad->place.offset, bad->place.field, bad->place.field + " holds a code that has no name"});
        }
    }

    bool data_step()
    {
        try {
            auto plan = plan_data(src_, headers_);
            if (!plan) return other_failure(plan.error());
            plan_ = std::move(*plan);
            if (options_.samples) return scan_step();
            if (plan_.fault) {
                add(std::move(*plan_.fault));
                return false;
            }
            add_all(data_findings(headers_, plan_, src_.size(), parameters_.param_array.size()));
            return true;
        } catch (const InternalFailure&) {
            add(Fault{Code::Unplaced, std::nullopt, "data",
                      "the data step stopped at a failure the checker cannot place"});
            return false;
        }
    }

    // The samples read by the data step itself; its failure is placed by the plan.
    bool scan_step()
    {
        try {
            auto scanned = scan_samples(src_, headers_);
            if (!scanned) {
                if (plan_.fault) {
                    add(std::move(*plan_.fault));
                    return false;
                }
                if (!scanned.error().is_short_read()) return other_failure(scanned.error());
                add(Fault{Code::Unplaced, std::nullopt, "data", "the data step failed where its plan did not"});
                return false;
            }
            add_all(data_findings(headers_, plan_, src_.size(), parameters_.param_array.size()));
            add_all(non_finite_findings(*scanned));
            return true;
        } catch (const InternalFailure&) {
            if (plan_.fault) {
                add(std::move(*plan_.fault));
            } else {
                add(Fault{Code::Unplaced, std::nullopt, "data",
                          "the data step stopped at a failure the checker cannot place"});
            }
            return false;
        }
    }

    bool summary_step()
    {
        try {
            info_ = extract_info(headers_, parameters_, nullptr);
            return true;
        } catch (const InternalFailure&) {
            add(summary_failure(headers_, parameters_));
            return false;
        }
    }

    Audit finish()
    {
        Audit audit;
        audit.interrupted = interrupted_;
        // The reader's failure leads; the rest follow in file order.
        std::stable_sort(faults_.begin(), faults_.end(), [](const Fault& a, const Fault& b) {
            const bool ea = code_info(a.code).severity == Severity::Error;
            const bool eb = code_info(b.code).severity == Severity::Error;
            if (ea != eb) return ea;
            return a.offset.value_or(UINT64_MAX) < b.offset.value_or(UINT64_MAX);
        });
        bool damaged = false;
        bool foreign = false;
        for (Fault& f : faults_) {
            const CodeInfo& info = code_info(f.code);
            damaged = damaged || info.severity == Severity::Error;
            foreign = foreign || f.code == Code::NotThisKind;
            audit.findings.push_back(Finding{std::string(info.id), std::string(severity_name(info.severity)), f.offset,
                                             std::move(f.field), std::move(f.text)});
        }
        audit.verdict = foreign ? "not this kind" : damaged ? "damaged" : audit.findings.empty() ? "ok" : "warnings";
        return audit;
    }

    ByteSource& src_;
    AuditOptions options_;
    Headers headers_;
    Parameters parameters_;
    Info info_;
    DataPlan plan_;
    std::vector<Fault> faults_;
    bool interrupted_ = false;
};

}  // namespace

Audit audit_source(ByteSource& src, AuditOptions options) { return Auditor(src, options).run(); }

Audit audit_container(DataContainer container, AuditOptions options)
{
    auto source = std::move(container).load_data();
    if (!source) {
        Audit audit;
        audit.interrupted = source.error().interrupted;
        audit.verdict = "damaged";
        const CodeInfo& info = code_info(Code::CannotRead);
        audit.findings.push_back(Finding{std::string(info.id), std::string(severity_name(info.severity)), std::nullopt,
                                         "", "the file cannot be opened"});
        return audit;
    }
    return audit_source(*source, options);
}

}  // namespace vorn
