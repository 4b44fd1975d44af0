/*
 * host.cpp - the host of host.c written with the C++ interface: opens a
 * table, finds a column by its name and prints the value of one cell.
 *
 *     tavlin_example_cpp FILE [COLUMN [ROW]]  (COLUMN defaults to "station",
 *                                             ROW to 0)
 *
 * The table closes itself on every path; a failed call throws a
 * tavlin::Error whose code is the C call's result code.
 */
#include <cstdlib>
#include <iostream>

#include <tavlin32.hpp>

int main(int argc, char **argv)
{
    const char *path = argc > 1 ? argv[1] : "sample.csv";
    const char *name = argc > 2 ? argv[2] : "station";
    const int32_t row = argc > 3 ? static_cast<int32_t>(std::atoi(argv[3])) : 0;
    try {
        // Preview mode reads the first 100 lines and never writes the file.
        auto table = tavlin::Table::open(path, tavlin::Mode::preview);
        // The cell is read whole, whatever its size.
        std::cout << table.cell(row, table.column_index(name)) << '\n';
    } catch (const tavlin::Error &e) {
        const int code = e.code().value();
        std::cerr << path << ": " << TblResultName(code) << " (" << code
                  << "): " << e.code().message() << '\n';
        return 1;
    }
    return 0;
}
