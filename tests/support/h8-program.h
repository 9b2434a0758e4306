// Small H8S programs built by the H8 cross toolchain (COFF), as the source of
// real toolchain output for the loader tests.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace h8prog
{

struct Section {
    std::string name;
    uint32_t address; // load address
    std::vector<uint8_t> data;
};

struct Program {
    std::string coff;              // path of the linked program
    std::vector<Section> sections; // the sections with contents, in address order
};

// Compiles a program with a table of table_bytes pseudo-random bytes and some
// code in .text at text_address, and initialised data in .data at
// data_address, into dir. False, with the reason in why, when the toolchain is
// missing or fails.
bool build(const std::string &dir, uint32_t text_address, uint32_t data_address, size_t table_bytes,
           Program &out, std::string &why);

// Runs a shell command; true when it exits with 0.
bool run(const std::string &command);

// The whole content of a file (empty when it cannot be read).
std::vector<uint8_t> read_file(const std::string &path);

} // namespace h8prog
