// tavlin32.hpp must compile with every warning an error, in each language
// mode and with and without exceptions (tests/header_cxx.cmake). This calls
// each of its functions once, so that each is compiled, not just parsed.
#include <tavlin32.hpp>

int tavl_header_cxx_probe(const char *path);
int tavl_header_cxx_probe(const char *path) {
    using tavlin::Prepare;
    std::error_code ec;
    std::string s;
    tavlin::Index index = tavlin::Index::prepare(path, "idx", ',', 1, Prepare::overwrite | Prepare::unique, ec);
    tavlin::Table t = tavlin::Table::open(path, tavlin::Mode::edit, ',', 1, ec),
                  i = index.open(ec), j = tavlin::Table::open(path, tavlin::Mode::indexed, ',', 1, "idx", ec);
    for (const tavlin::Row &row : t.rows(ec)) {
        s += row.cell(0, ec) + row.cell("a", ec);
        row.cell(row.index(), s, ec);
        row.cell(std::string("a"), s, ec);
    }
    s += t.column_name(0, ec) + t.attribute(0, "index", ec) + t.attribute("a", "name", ec) + t.cell(0, 0, ec) +
         t.cell(0, std::string_view("a"), ec) + t.head_cell(0, 0, ec) + t.path();
    t.cell(0, 0, s, ec);
    t.cell(0, "a", s, ec);
    t.head_cell(0, 0, s, ec);
    int32_t n = t.column_count(ec) + t.row_count(ec) + t.column_index("a", ec) + t.head_size(0, ec) +
                t.head_size("a", ec) + t.cell_size(0, 0, ec) + t.cell_size(0, "a", ec) + t.add_row(ec) +
                t.add_column(-1, "c", ec) + tavlin::count_lines(path, ec) + t.header_lines() + t.delimiter();
    t.set(0, 0, s, ec);
    t.set(0, "a", "x", ec);
    t.set_head(0, 0, "a", ec);
    t.save(ec);
    t.save("out.csv", ec);
    tavlin::create_table("new.csv", ',', ec);
    index.keep();
    index.close(ec);
    i = std::move(j);
    t.close(ec);
#if TAVLIN32_EXCEPTIONS
    try {
        tavlin::Table u = tavlin::Table::open(path, tavlin::Mode::preview), v = index.open();
        for (const auto &row : u) s += row[0] + row["a"] + row.cell(1) + row.cell("b");
        s += u.column_name(0) + u.attribute(0, "name") + u.attribute("a", "index") + u.cell(0, 0) +
             u.cell(0, "a") + u.head_cell(0, 0);
        u.cell(0, 0, s);
        u.cell(0, "a", s);
        u.head_cell(0, 0, s);
        n += u.column_count() + u.row_count() + u.column_index("a") + u.head_size(0) + u.head_size("a") +
             u.cell_size(0, 0) + u.cell_size(0, "a") + u.add_row() + u.add_column(-1, "c") + u.rows().size() +
             tavlin::count_lines(path);
        u.set(0, 0, "x");
        u.set(0, "a", "x");
        u.set_head(0, 0, "a");
        u.save();
        u.save("out.csv");
        u.close();
        tavlin::create_table("new.csv");
        tavlin::Index::prepare(path, "idx").close();
    } catch (const tavlin::Error &e) {
        n += static_cast<int32_t>(e.load_error() + e.load_line()) + e.load_failed();
    }
#endif
    return n + static_cast<int>(s.size()) + tavlin::table_exists(path) + (ec == TBL_ERR_RANGE) +
           static_cast<int>(t.load_error()) + (i ? 1 : 0) + (index ? 1 : 0) + static_cast<int>(t.mode()) +
           (t.handle() != nullptr);
}
