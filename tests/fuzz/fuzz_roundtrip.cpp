// fuzz_roundtrip.cpp - any records, through tavlin's import and export.
//
// Input: a column count (1 to 4), a table delimiter (, ; tab | or x), a CSV
// separator (, ; tab |) and records of that many values, any bytes each.
// The records are written as RFC 4180 CSV and imported into a table file,
// which must then:
//   - export to the same CSV (CR LF line ends), and to TSV that imports and
//     exports to the same CSV again;
//   - open OPEN_EDIT in the library with that many columns and rows, every
//     cell reading back as the value it was given.
// The import may refuse a record only for a reason it names: an empty value
// in a one-column table, or a value the delimiter x cannot store.
// And the input's own bytes, read as a table file by the tool's streaming
// reader, give the same lines, pieces and fault whether the reader holds
// each line or reads past every line longer than a block of a few bytes.
#include <fuzzer/FuzzedDataProvider.h>
#include <tavlin32.h>

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "fuzz_util.h"
#include "interop.h"

namespace {

using fuzzutil::Fail;
using Records = std::vector<std::vector<std::string>>;

std::string Csv(const Records &records, char separator) {
    std::string text;
    for (size_t r = 0; r < records.size(); ++r) {
        tavlin::AppendCsvRecord(records[r], separator, r == 0, &text);
        text += "\r\n";
    }
    return text;
}

// Runs one direction over in-memory streams; the output lands in *out.
template <class Step>
bool Pipe(const std::string &in, std::string *out, Step step) {
    FILE *input = in.empty() ? std::fopen("/dev/null", "rb")
                             : fmemopen(const_cast<char *>(in.data()), in.size(), "rb");
    char *bytes = nullptr;
    size_t size = 0;
    FILE *output = open_memstream(&bytes, &size);
    if (!input || !output) Fail("no stream for the round trip");
    bool ok = step(input, output);
    std::fclose(input);
    std::fclose(output);
    out->assign(bytes, size);
    std::free(bytes);
    return ok;
}

bool Import(const std::string &in, tavlin::TextFormat from, char separator, char d,
            std::string *table, std::string *error) {
    return Pipe(in, table, [&](FILE *i, FILE *o) {
        tavlin::ImportOptions options;
        options.from = from;
        options.separator = separator;
        options.delimiter = d;
        tavlin::ImportReport report;
        return tavlin::ImportTable(i, o, options, &report, error);
    });
}

std::string Export(const std::string &table, tavlin::TextFormat to, char separator, char d) {
    std::string out;
    bool ok = Pipe(table, &out, [&](FILE *i, FILE *o) {
        tavlin::ExportOptions options;
        options.to = to;
        options.separator = separator;
        options.delimiter = d;
        tavlin::LineFault fault;
        bool write_failed = false;
        bool done = tavlin::ExportTable(i, o, options, &fault, &write_failed);
        if (!done) Fail("export refused an imported table: " + tavlin::DescribeFault(fault, "it"));
        return done;
    });
    if (!ok) Fail("export failed");
    return out;
}

// A cell read through every reader the probe tries, which must agree.
std::string Cell(TableHandle *t, int32_t column, int32_t line, bool header) {
    tavlprobe::Cell cell;
    fuzzutil::Expect(header ? tavlprobe::ReadHeadCell(t, column, line, &cell)
                            : tavlprobe::ReadDataCell(t, column, line, &cell),
                     "cell read");
    if (cell.rc != TBL_OK) Fail("cell read returned " + std::to_string(cell.rc));
    return cell.value;
}

void CheckWithLibrary(const std::string &table, const Records &records, char d) {
    std::string path = fuzzutil::WriteFile("table.csv", table.data(), table.size());
    fuzzutil::Handle handle;
    TableHandle *t = handle.t;
    const char delimiter[2] = {d, '\0'};
    int32_t rc = OpenTable(path.c_str(), t, OPEN_EDIT, delimiter, nullptr, nullptr);
    if (rc != TBL_OK) Fail("OPEN_EDIT refused an imported table: " + std::to_string(rc));
    int32_t columns = 0, lines = 0;
    GetColumnCount(t, &columns);
    GetLineCount(t, &lines);
    if (static_cast<size_t>(columns) != records[0].size() ||
        static_cast<size_t>(lines) != records.size() - 1)
        Fail("the library sees " + std::to_string(columns) + " columns and " +
             std::to_string(lines) + " rows");
    // A first name that starts with a byte-order mark reads whole: the
    // importer writes a mark of the file's own before it, and the library
    // takes that one as the file's.
    for (size_t c = 0; c < records[0].size(); ++c) {
        if (Cell(t, static_cast<int32_t>(c), 0, true) != records[0][c])
            Fail("column name " + std::to_string(c) + " does not read back");
        for (size_t r = 1; r < records.size(); ++r)
            if (Cell(t, static_cast<int32_t>(c), static_cast<int32_t>(r - 1), false) != records[r][c])
                Fail("cell " + std::to_string(c) + "," + std::to_string(r - 1) + " does not read back");
    }
}

// What a streaming reader that holds at most `most` bytes (0: any line)
// makes of the bytes as a table file.
std::string ReadAsTable(const std::string &bytes, char d, size_t most) {
    std::string seen;
    FILE *f = bytes.empty() ? std::fopen("/dev/null", "rb")
                            : fmemopen(const_cast<char *>(bytes.data()), bytes.size(), "rb");
    if (!f) Fail("no stream for the table reader");
    {
        tavlin::TableReader reader(f, d, most, size_t(1) << 20);
        while (reader.Next()) {
            seen += std::to_string(reader.table_line()) + " " + std::to_string(reader.file_line()) +
                    (reader.ended_by_lf() ? " lf:" : ":");
            for (size_t k = 0; k < static_cast<size_t>(reader.columns()); ++k) {
                const tavlin::Piece p = reader.piece(k);
                seen.append(reader.line() + p.start, p.size);
                seen += '\0';
            }
            seen += '\n';
        }
        const tavlin::LineFault &fault = reader.fault();
        seen += "fault " + std::to_string(fault.kind) + " " + std::to_string(fault.file_line) + " " +
                std::to_string(fault.offset) + " " + std::to_string(fault.table_line) + " " +
                std::to_string(fault.fields) + " " + std::to_string(fault.pieces) + " " +
                std::to_string(fault.expected);
    }
    std::fclose(f);
    return seen;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const std::string raw(reinterpret_cast<const char *>(data), size);
    const char table_d = size ? ",;\t|"[data[0] & 3] : ',';
    if (ReadAsTable(raw, table_d, 0) != ReadAsTable(raw, table_d, 16 + (size ? data[0] >> 4 : 0)))
        Fail("a reader that reads past long lines sees another table");
    FuzzedDataProvider in(data, size);
    const size_t columns = in.ConsumeIntegralInRange<size_t>(1, 4);
    const char d = in.PickValueInArray({',', ';', '\t', '|', 'x'});
    const char separator = in.PickValueInArray({',', ';', '\t', '|'});
    Records records;
    while (in.remaining_bytes() > 0 && records.size() < 16) {
        std::vector<std::string> record;
        for (size_t c = 0; c < columns; ++c) record.push_back(in.ConsumeRandomLengthString(64));
        records.push_back(record);
    }
    if (records.empty()) return 0;

    bool empty_single = false;
    for (const auto &record : records) empty_single = empty_single || (columns == 1 && record[0].empty());
    const std::string csv = Csv(records, separator);
    std::string table, error;
    if (!Import(csv, tavlin::TextFormat::kCsv, separator, d, &table, &error)) {
        bool named = (empty_single && error.find("one-column table") != std::string::npos) ||
                     (d == 'x' && error.find("with the delimiter 'x'") != std::string::npos);
        if (!named) Fail("import refused: " + error);
        return 0;
    }
    if (empty_single) Fail("an empty value in a one-column table was imported");

    if (Export(table, tavlin::TextFormat::kCsv, separator, d) != csv)
        Fail("CSV export does not give the imported CSV back");
    std::string tsv = Export(table, tavlin::TextFormat::kTsv, separator, d);
    std::string again;
    if (!Import(tsv, tavlin::TextFormat::kTsv, '\t', d, &again, &error))
        Fail("TSV export does not import: " + error);
    if (Export(again, tavlin::TextFormat::kCsv, separator, d) != csv)
        Fail("TSV round trip does not give the CSV back");
    CheckWithLibrary(table, records, d);
    return 0;
}
